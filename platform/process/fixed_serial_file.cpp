#include "platform/process/fixed_serial_file.h"

bool ReadFixedSerialFile(std::string* head, FileProblem* problem) {
    if (!ReadSmallFile(kFixedSerialFile, kMaxFixedSerialFile, head, problem))
        return false;
    if (head->size() > kFixedSerialLength)
        head->resize(kFixedSerialLength);
    return true;
}
