#include "active_config.h"

#include <cstdlib>

namespace sim::controller {

ConfigResult LoadActiveConfig() {
  const char *path = std::getenv("NERAVOX_CONFIG");
  if (path == nullptr || path[0] == '\0') {
    ConfigResult result;
    result.Value = DefaultConfig();
    return result;
  }
  return LoadConfigFile(path);
}

}  // namespace sim::controller
