#pragma once

// Everything quillonctl doctor reports, in its order: the receivers' side (USB, hidraw,
// access and its cause, holders, the udev rule, the session), the maker's service and
// the right to stop it, the token service, SN.ini. Every question to another process
// or host is bounded in time.

#include <optional>
#include <string>
#include <vector>

#include "diagnosis/finding.h"
#include "diagnosis/receiver_diagnosis.h"

struct DoctorSetup {
    DiagnosisSetup kit;
    // An endpoint the front end was given over the configuration's, and how the
    // finding names where it came from ("--endpoint").
    std::optional<std::string> endpoint;
    std::string endpointOrigin;
};

std::vector<Finding> DoctorFindings(const DoctorSetup& setup);
