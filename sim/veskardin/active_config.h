/*
 * The controller configuration that the controller library and the script
 * host see: the file named by $NERAVOX_CONFIG, else the built-in default.
 */
#pragma once

#include "controller/config.h"

namespace sim::controller {

ConfigResult LoadActiveConfig();

}  // namespace sim::controller
