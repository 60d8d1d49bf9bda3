// A private bus standing in for the system bus, with UPower and logind as
// python3-dbusmock services on it: nothing of the machine's own buses is
// touched. Changes are made through the mocks' own methods, with gdbus.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct SystemBus {
    pid_t daemon = -1;
    std::string address;  // for DBUS_SYSTEM_BUS_ADDRESS
    std::string folder;   // holds its socket
    std::vector<pid_t> services;
};

// An empty private bus; address stays empty on failure.
SystemBus startSystemBus();

// Starts the dbusmock template ("upower", "logind") on the bus and waits
// until its object answers a ping. False when it did not.
bool startMock(SystemBus& bus, const std::string& name, const std::string& path);

// gdbus call on the bus; true when it succeeded.
bool busCall(const SystemBus& bus, const std::vector<std::string>& arguments);

// UPower's OnBattery, logind's session with its LockedHint.
bool setOnBattery(const SystemBus& bus, bool onBattery);
bool addSession(const SystemBus& bus, const std::string& id);
bool setLockedHint(const SystemBus& bus, const std::string& id, bool locked);

void stopSystemBus(SystemBus& bus);

// A bus that takes connections and never answers: a listening socket nobody
// reads. The address names it; stop with stopSilentBus.
struct SilentBus {
    int listener = -1;
    std::string path;
    std::string address;
};
SilentBus startSilentBus();
void stopSilentBus(SilentBus& bus);
