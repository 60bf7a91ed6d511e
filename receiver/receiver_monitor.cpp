#include "receiver/receiver_monitor.h"

ReceiverMonitor* GetReceiverMonitor() {
    static ReceiverMonitor monitor;
    return &monitor;
}
