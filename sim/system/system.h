/*
 * The whole simulated machine in this process: the kernel layer booted,
 * the controllers of a configuration with their bus driver started, and
 * NERAVOX.sys loaded as the function driver of their ports, so that
 * \\.\COM5 and the rest open as on a Windows machine with the controllers
 * fitted. What the Win32 layer starts on first use.
 */
#pragma once

#include <ntddk.h>

#include <string>

#include "bus/bus.h"
#include "controller/config.h"

namespace sim::system {

/* Config: the configuration to build, else $NERAVOX_CONFIG, else the
 * built-in one. Returns the status of the first step that failed; *Error
 * says why when the configuration or the hardware could not be had. */
NTSTATUS Start(const controller::Config *Config = nullptr, std::string *Error = nullptr);
/* Shuts the kernel layer down (which removes the ports and unloads the
 * driver), then the hardware. Nothing if not started. */
void Stop();
/* The running hardware, or nullptr. */
bus::Hardware *Hardware();

}  // namespace sim::system
