/*
 * VESKARDIN, the controller library, over the simulated controllers.
 *
 * The controllers are those of the configuration: the JSON file named by
 * $NERAVOX_CONFIG, else the built-in default. Port modes are the shared
 * controller state (the state directory of $NERAVOX_STATE_DIR), so a mode
 * set here is the mode the bus driver reports at the next open of the port.
 *
 * Every function returns 1 on success and 0 on failure, and leaves its
 * outputs untouched when it fails. A handle names one controller opened by
 * GnLoadDevice; -1 is never a valid handle. At most GN_MAX_CONTROLLERS
 * controllers are opened, so the handle array needs that many slots.
 */
#pragma once

#define GN_MAX_CONTROLLERS 10

#ifdef __cplusplus
extern "C" {
#endif

#define GN_EXPORT __attribute__((visibility("default")))

GN_EXPORT int GnLoadDevice(int *count, int *handles);
GN_EXPORT int GnUnloadDevice(void);
GN_EXPORT int GnPortMode_Set(int handle, int port, int mode);
GN_EXPORT int GnPortMode_Get(int handle, int port, int *mode);
GN_EXPORT int GnProductId_Get(int handle, int *value, int *ports);

/* Present for the library's callers; the simulated controllers do not
 * offer these, and each call fails. */
GN_EXPORT int GnPort422485_Set(int handle, int port, int value);
GN_EXPORT int GnPort422485_Get(int handle, int port, int *value);
GN_EXPORT int GnResetUart(int handle, int port);
GN_EXPORT int GnResetPort(int handle, int port);
GN_EXPORT int GetResources(int handle, void *resources);
GN_EXPORT int ReadMemPortDW(int handle, unsigned int offset, unsigned int *value);
GN_EXPORT int WriteMemPortDW(int handle, unsigned int offset, unsigned int value);
GN_EXPORT int GnGetInterfaceState_SRC(int handle, int *state);

#ifdef __cplusplus
}
#endif
