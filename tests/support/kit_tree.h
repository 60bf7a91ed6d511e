#pragma once

// A machine of a test's own for the diagnosis of the receivers: sysfs with the USB
// device and its interfaces, the receivers' hidraw entries and nodes, and udev's rule
// directories, all below one temporary directory.

#include <sys/acl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>

#include "diagnosis/receiver_diagnosis.h"
#include "platform/hid/hid_device.h"
#include "tools/virtual_kit/virtual_hid_bus.h"

namespace kittree {

namespace fs = std::filesystem;

inline constexpr uid_t kUser = 54321;
inline const std::string kRule =
    "KERNEL==\"hidraw*\", ATTRS{idVendor}==\"0471\", ATTRS{idProduct}==\"0606\", "
    "TAG+=\"uaccess\"\n";

inline void Write(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// A machine of the test's own: sysfs with the USB device and its interfaces, the two
// receivers' hidraw entries and nodes, udev's rule directories.
class KitTree {
public:
    KitTree() {
        std::string templ = (fs::temp_directory_path() / "quillon-diag-XXXXXX").string();
        if (mkdtemp(templ.data()) == nullptr)
            throw std::runtime_error("mkdtemp");
        root = templ;
        hid = std::make_unique<HidSystem>(Sys(), Dev());
        fs::create_directories(Dev());
    }
    ~KitTree() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    std::string Sys() const { return root + "/sys"; }
    std::string Dev() const { return root + "/dev"; }
    std::string Udev() const { return root + "/udev"; }
    std::string Node(int n) const { return Dev() + "/hidraw" + std::to_string(n); }

    void UsbDevice(bool secondInterfaceBound = true) {
        const fs::path dev = fs::path(Sys()) / "bus/usb/devices";
        Write(dev / "1-1/idVendor", "0471\n");
        Write(dev / "1-1/idProduct", "0606\n");
        Write(dev / "1-1/product", "Orvane Receiver\n");
        Write(dev / "2-1/idVendor", "046d\n");  // something else on the bus
        Write(dev / "2-1/idProduct", "c31c\n");
        fs::create_directories(fs::path(Sys()) / "bus/usb/drivers/usbhid");
        for (const char* name : {"1-1:1.0", "1-1:1.1"}) {
            Write(dev / name / "bInterfaceClass", "03\n");
            if (secondInterfaceBound || std::string(name) == "1-1:1.0")
                fs::create_symlink("../../drivers/usbhid", dev / name / "driver");
        }
    }
    // hidraw3 the IR receiver, hidraw4 the game controller; nodes root's, 0600.
    void Receivers(bool nodes = true) {
        const std::string uevent = OrvaneUevent();
        AddInterface(3, uevent, kIrReceiverDescriptor);
        AddInterface(4, uevent, kGamePadDescriptor);
        if (nodes) {
            for (int n : {3, 4}) {
                Write(Node(n), "");
                chmod(Node(n).c_str(), 0600);
            }
        }
    }
    void AddInterface(int n, const std::string& uevent, const Bytes& descriptor) {
        const fs::path dir =
            fs::path(Sys()) / "class/hidraw" / ("hidraw" + std::to_string(n)) / "device";
        Write(dir / "uevent", uevent);
        Write(dir / "report_descriptor", std::string(descriptor.begin(), descriptor.end()));
    }
    // What uaccess does for the user at the seat.
    bool GrantByAcl(int n, uid_t uid = kUser) {
        acl_t acl = acl_from_text(
            ("u::rw-,u:" + std::to_string(uid) + ":rw-,g::---,m::rw-,o::---").c_str());
        const bool ok = acl != nullptr && acl_set_file(Node(n).c_str(), ACL_TYPE_ACCESS, acl) == 0;
        acl_free(acl);
        return ok;
    }
    void Rule(const std::string& name, const std::string& text = kRule,
              const std::string& dir = "/etc/udev/rules.d") {
        Write(Udev() + dir + "/" + name, text);
    }
    void SeatLate() {
        Rule("73-seat-late.rules", "TAG==\"uaccess\", RUN{builtin}+=\"uaccess\"\n",
             "/usr/lib/udev/rules.d");
    }

    // Lets another user look in, as anyone may in /sys.
    void OpenToAll() const {
        fs::permissions(root, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
    }

    KitFacts Facts() const {
        DiagnosisSetup setup;
        setup.hid = hid.get();
        setup.who = &who;
        setup.userName = "alice";
        setup.udevRoot = Udev();
        return GatherKitFacts(setup);
    }

    std::string root;
    std::unique_ptr<HidSystem> hid;
    Credentials who = [] {
        Credentials c;
        c.uid = kUser;
        c.gid = kUser;
        return c;
    }();
};

}  // namespace kittree
