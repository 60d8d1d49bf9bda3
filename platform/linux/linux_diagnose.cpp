// --diagnose on Linux: the session from the environment, then the X server,
// the session bus, the system bus, the compositor and the idle managers, each
// read on a reader thread of its own. What has not answered by the deadline
// is reported as such; its thread is left to end on its own, and anything it
// finds later is dropped.
#include <pthread.h>
#include <signal.h>
#include <sys/utsname.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/linux/desktop_loader.h"
#include "platform/linux/linux_diagnose.h"
#include "platform/linux/x11_loader.h"

namespace {

struct Collected {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<std::size_t, Finding>> findings;  // with the reader's place
    std::vector<bool> done;
    std::vector<bool> gaveWay;
    bool closed = false;
};

struct Reader {
    std::string name;  // for the line saying it did not answer
    bool givesWay;     // its silence means the session cannot be kept awake
    std::function<void(const FindingSink&)> read;
};

void keep(Collected& collected, std::size_t place, Finding finding) {
    std::lock_guard<std::mutex> lock(collected.mutex);
    if (collected.closed) {
        return;
    }
    if (finding.kind == Finding::way) {
        collected.gaveWay[place] = true;
    }
    collected.findings.emplace_back(place, std::move(finding));
}

// The modules' findings, back into the program's own type.
void forwardToSink(void* context, const DiagnosisLine* line) {
    (*static_cast<const FindingSink*>(context))(findingFromLine(*line));
}

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string systemName() {
    std::ifstream release("/etc/os-release");
    std::string line;
    std::string pretty = "an unnamed Linux distribution";
    while (std::getline(release, line)) {
        if (line.rfind("PRETTY_NAME=", 0) == 0) {
            pretty = line.substr(12);
            pretty.erase(std::remove(pretty.begin(), pretty.end(), '"'), pretty.end());
        }
    }
    utsname kernel{};
    if (uname(&kernel) == 0) {
        pretty += std::string(", ") + kernel.sysname + " " + kernel.release;
    }
    return pretty;
}

// As the X connection does: XAUTHORITY named before any reader thread runs,
// so no thread builds the default name in libXau's shared buffer.
void nameAuthorityFile() {
    const std::string home = environment("HOME");
    if (std::getenv("XAUTHORITY") == nullptr && !home.empty()) {
        setenv("XAUTHORITY", ((home == "/" ? "" : home) + "/.Xauthority").c_str(), 0);
    }
}

void startReader(const std::shared_ptr<Collected>& collected, std::size_t place, const Reader& reader) {
    // Reader threads take no signals: a write to a vanished server fails
    // there with EPIPE instead of ending the report.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    std::thread([collected, place, read = reader.read] {
        read([&collected, place](Finding finding) { keep(*collected, place, std::move(finding)); });
        std::lock_guard<std::mutex> lock(collected->mutex);
        collected->done[place] = true;
        collected->changed.notify_all();
    }).detach();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

// Where the virtual pointer is there, the program takes no timeout and
// nudges at the shortest interval; the desktop's timeout is then one more
// timer.
void takeNoTimeoutBesideThePointer(std::vector<Finding>* findings) {
    const bool pointer = std::any_of(findings->begin(), findings->end(), [](const Finding& finding) {
        return finding.kind == Finding::way && finding.ok && finding.heldBy == heldByNudge;
    });
    if (!pointer) {
        return;
    }
    // A timeout nobody could tell is no timer either.
    findings->erase(std::remove_if(findings->begin(), findings->end(),
                                   [](const Finding& finding) {
                                       return finding.kind == Finding::saverTimeout && !finding.unreadable.empty();
                                   }),
                    findings->end());
    for (Finding& finding : *findings) {
        if (finding.kind == Finding::saverTimeout) {
            finding.kind = Finding::timer;
            finding.part = Finding::timers;
        }
    }
    Finding none = readFinding(Finding::timeout, Finding::saverTimeout, "screen-saver timeout", "none taken", "",
                               "the virtual pointer is there, so keepawake nudges at the shortest interval");
    none.seconds = 0;
    findings->push_back(none);
}

}  // namespace

std::vector<Finding> diagnoseSession(std::chrono::steady_clock::time_point deadline) {
    std::vector<Finding> findings;
    const std::string display = environment("DISPLAY");
    const std::string waylandDisplay = environment("WAYLAND_DISPLAY");
    const std::string type = environment("XDG_SESSION_TYPE");
    const bool wayland = !waylandDisplay.empty() || type == "wayland";
    findings.push_back(readFinding(Finding::session, Finding::fact, "system", systemName(), "",
                                   "/etc/os-release, uname"));
    findings.push_back(readFinding(Finding::session, Finding::fact, "desktop",
                                   environment("XDG_CURRENT_DESKTOP").empty() ? "not named"
                                                                             : environment("XDG_CURRENT_DESKTOP"),
                                   "", "XDG_CURRENT_DESKTOP"));
    findings.push_back(readFinding(Finding::session, Finding::fact, "session type",
                                   (wayland ? "Wayland" : display.empty() ? "no display" : "X11") +
                                       std::string(" (XDG_SESSION_TYPE=") + (type.empty() ? "unset" : type) +
                                       ", WAYLAND_DISPLAY=" + (waylandDisplay.empty() ? "unset" : waylandDisplay) +
                                       ", DISPLAY=" + (display.empty() ? "unset" : display) + ")",
                                   "", "environment"));

    std::vector<Reader> readers;
    if (!wayland && !display.empty()) {
        nameAuthorityFile();
        X11LoadFailure failure;
        if (const X11Binding* x11 = loadX11Module(&failure)) {
            readers.push_back({"the X display " + display, true, [x11](const FindingSink& add) {
                                   x11->diagnose(forwardToSink, const_cast<FindingSink*>(&add));
                               }});
        } else {
            Finding way = readFinding(Finding::session, Finding::way, "kept awake by", "XTEST relative moves", "",
                                      "keepawake-x11.so");
            way.heldBy = heldByNudge;
            way.advice = failure.words + ": reinstall keepawake, or install the xcb libraries it names";
            findings.push_back(way);
        }
    } else if (!wayland) {
        Finding way = readFinding(Finding::session, Finding::way, "kept awake by", "a display", "",
                                  "environment");
        way.advice = "there is no display here (neither DISPLAY nor WAYLAND_DISPLAY is set): run keepawake inside "
                     "the desktop session";
        findings.push_back(way);
    }
    std::string failure;
    const DesktopBinding* module = loadDesktopModule(&failure);
    if (module == nullptr) {
        Finding missing = unreadableFinding(Finding::session, wayland ? Finding::way : Finding::fact,
                                            "desktop, bus and logind readers",
                                            "keepawake-desktop.so could not be loaded: " + failure);
        missing.advice = "keepawake-desktop.so, which keeps a Wayland session awake, could not be loaded (" +
                         failure + "): reinstall keepawake";
        findings.push_back(missing);
    } else {
        const unsigned onWayland = wayland ? diagnoseOnWayland : 0;
        struct Part {
            const char* name;
            unsigned what;
        };
        std::vector<Part> parts{{"the session bus", diagnoseSessionBus | onWayland}};
        if (wayland) {
            parts.push_back({"the Wayland compositor", diagnoseVirtualPointer | onWayland});
        }
        parts.push_back({"the system bus", diagnoseSystemBus});
        for (const Part& part : parts) {
            readers.push_back({part.name, wayland && (part.what & diagnoseSessionBus) != 0,
                               [module, what = part.what](const FindingSink& add) {
                                   module->diagnose(what, forwardToSink, const_cast<FindingSink*>(&add));
                               }});
        }
    }
    readers.push_back({"the idle managers", false, idleManagersDiagnose});

    auto collected = std::make_shared<Collected>();
    collected->done.assign(readers.size(), false);
    collected->gaveWay.assign(readers.size(), false);
    for (std::size_t place = 0; place < readers.size(); ++place) {
        startReader(collected, place, readers[place]);
    }
    std::unique_lock<std::mutex> lock(collected->mutex);
    collected->changed.wait_until(lock, deadline, [&collected] {
        return std::all_of(collected->done.begin(), collected->done.end(), [](bool done) { return done; });
    });
    collected->closed = true;
    for (std::size_t place = 0; place < readers.size(); ++place) {
        if (collected->done[place]) {
            continue;
        }
        const std::string why = readers[place].name + " did not answer in time";
        Finding silent = unreadableFinding(Finding::session, Finding::fact, "what " + readers[place].name + " tells",
                                           why);
        if (readers[place].givesWay && !collected->gaveWay[place]) {
            silent.kind = Finding::way;
            silent.advice = why + ": keepawake would wait on it too, and keep nothing awake";
        }
        collected->findings.emplace_back(place, silent);
    }
    std::stable_sort(collected->findings.begin(), collected->findings.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [place, finding] : collected->findings) {
        findings.push_back(std::move(finding));
    }
    if (wayland) {
        takeNoTimeoutBesideThePointer(&findings);
    }
    return findings;
}
