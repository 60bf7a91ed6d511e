#include "quillonctl/service_setup.h"

#include "service/service_config.h"
#include "service/token_verification.h"

bool SetUpServiceFlows(const CtlOptions& options, std::string* error) {
    std::optional<std::string_view> endpoint;
    if (options.endpoint)
        endpoint = *options.endpoint;
    ServiceConfig config = LoadServiceConfig(ConfigEnvironment::FromProcess(), endpoint);
    if (!config.ok()) {
        *error = config.error;
        return false;
    }
    SetFlowServiceConfig(std::move(config));
    return true;
}
