// Learning each port's COM number from the friendly names of the system's
// devices.
#pragma once

#define MAX_PORT_TABLE 256

// Fills comNumbers[0..255] by port index; -1 where no device names the
// port. Uses the working files "DeviceQuery.vbs" and "DeviceList.txt" in
// the current directory and removes both before it returns.
void DiscoverComPorts(int comNumbers[MAX_PORT_TABLE]);
