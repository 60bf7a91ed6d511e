#include "diagnosis/fixed_serial_file.h"

#include <cstring>

bool ReadFixedSerialFile(std::string* head, FileProblem* problem) {
    if (!ReadSmallFile(kFixedSerialFile, kMaxFixedSerialFile, head, problem))
        return false;
    if (head->size() > kFixedSerialLength)
        head->resize(kFixedSerialLength);
    return true;
}

bool ReadFixedSerial(char (&buffer)[kFixedSerialLength + 1]) {
    std::string head;
    if (!ReadFixedSerialFile(&head) || head.size() != kFixedSerialLength)
        return false;
    std::memcpy(buffer, head.data(), kFixedSerialLength);
    buffer[kFixedSerialLength] = '\0';
    return true;
}
