#pragma once

// The virtual kit's HID bus: a temporary sysfs/dev tree with real report descriptors,
// and device nodes that are connected SOCK_SEQPACKET socket pairs. Every open of a
// plugged node makes a new pair; the opener gets one end, the kit keeps the other:
// one message is one report, and closing it is an unplug. As with hidraw, every open
// gets every report, so a recorder reads alongside the receiver threads. Nodes that
// are not plugged are opened for real (plain files, for the flock cases).
//
// Socket pairs rather than FIFOs: a FIFO joins reports written back to back into one
// read, and it has no connection per open, so the kit could not end the layer's open
// the way an unplug ends a hidraw open (poll reports a hang-up, reads fail).
//
// Served, the receivers are listening SOCK_SEQPACKET sockets in the node's place, so
// another process (quillonctl, the window) opens them through the real HID layer,
// pointed at this tree: each connection is an open, and the same rules hold.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/hid/hid_device.h"

using Bytes = std::vector<std::uint8_t>;

// Vendor page 0xFF00, usage 0: input report 3 (6 bytes as read, its ID first).
extern const Bytes kIrReceiverDescriptor;
// Generic desktop, game pad: input report 5 (5 bytes as read, its ID first), the
// stick's X and Y and 16 buttons.
extern const Bytes kGamePadDescriptor;
// Same vendor page as the IR receiver, but usage 1.
extern const Bytes kVendorUsage1Descriptor;
// A boot keyboard.
extern const Bytes kKeyboardDescriptor;

std::string Uevent(std::uint16_t vendor, std::uint16_t product);
std::string OrvaneUevent();  // 0471:0606
// The kit's receivers: two interfaces of one USB device, each of its own name.
std::string OrvaneIrUevent();
std::string OrvaneGameUevent();

enum class KitNodes {
    InProcess,  // only this process's layer can open a receiver
    Served,     // any process can, through the socket in the node's place
};

class VirtualHidBus : public HidSystem {
public:
    // `devDir` is the dev root's path below the temporary directory.
    explicit VirtualHidBus(const std::string& devDir = "dev", KitNodes nodes = KitNodes::InProcess);
    ~VirtualHidBus() override;

    // sysfs entry of hidrawN only, with any contents; nullptr leaves a file out.
    void AddInterface(int n, const std::string* uevent, const Bytes* descriptor);
    // sysfs entry and a plain-file node.
    void AddDevice(int n, const std::string& uevent, const Bytes& descriptor);
    // sysfs entry and node of an Orvane receiver that opens as a socket pair (served:
    // as a connection to the node's socket). `denied`: opens fail with EACCES until
    // Grant(), as before udev sets the access (served: the socket's mode is 0000).
    void PlugReceiver(int n, const Bytes& descriptor, bool denied = false,
                      const std::string& uevent = OrvaneUevent());
    // Lets opens succeed and changes the node's mode, as udev does.
    void Grant(int n);
    // Gone from sysfs and dev first, then the open end hangs up.
    void Unplug(int n);
    // Just the node, as the kernel creates it when a device arrives.
    void CreateNode(int n);

    std::string NodePath(int n) const;
    std::string TempRoot() const { return m_root; }

    // Sends one report to every open of hidrawN; false when none took it.
    bool Send(int n, const Bytes& report);
    // Closes the test's end of every open of hidrawN.
    void HangUp(int n);
    int Opens(int n) const;
    bool WaitForOpens(int n, int count,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
    // Every open of a node through OpenNode, plugged or not.
    int NodeOpenCalls() const;

protected:
    int OpenNode(const std::string& path, int flags) override;

private:
    VirtualHidBus(const std::string& root, const std::string& devDir, KitNodes nodes);
    static std::string MakeTempRoot();
    void ServeNode(int n, bool denied);
    void Accept();  // acceptor thread body

    struct Node {
        bool plugged = false;
        bool denied = false;
        int opens = 0;
        std::vector<int> peers;  // the kit's end of each open
        int listener = -1;       // served only
    };

    std::string m_root;
    const KitNodes m_kind;
    std::thread m_acceptor;  // served only, from the first plug on
    WakeSignal m_wake;
    bool m_stopping = false;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::map<std::string, Node> m_nodes;  // by node path
    int m_nodeOpenCalls = 0;
};
