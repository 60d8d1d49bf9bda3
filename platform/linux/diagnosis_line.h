// One --diagnose finding as it crosses a module's boundary: the fields of
// platform/diagnosis.h's Finding as C strings and numbers, since each module
// carries its own C++ runtime.
#pragma once

#include <cstdint>

#include "platform/diagnosis.h"

struct DiagnosisLine {
    int part;
    int kind;
    const char* what;
    const char* value;
    const char* unit;
    const char* source;
    const char* unreadable;
    int hasSeconds;
    std::uint32_t seconds;
    unsigned heldBy;
    int ok;
    const char* advice;
};
using DiagnosisSink = void (*)(void* context, const DiagnosisLine* line);

// The module's side: hands one finding over.
inline void sendFinding(DiagnosisSink sink, void* context, const Finding& finding) {
    const DiagnosisLine line{finding.part,         finding.kind,
                             finding.what.c_str(), finding.value.c_str(),
                             finding.unit.c_str(), finding.source.c_str(),
                             finding.unreadable.c_str(), finding.seconds.has_value() ? 1 : 0,
                             finding.seconds.value_or(0), finding.heldBy,
                             finding.ok ? 1 : 0,   finding.advice.c_str()};
    sink(context, &line);
}

// The program's side: the finding again.
inline Finding findingFromLine(const DiagnosisLine& line) {
    Finding finding;
    finding.part = static_cast<Finding::Part>(line.part);
    finding.kind = static_cast<Finding::Kind>(line.kind);
    finding.what = line.what;
    finding.value = line.value;
    finding.unit = line.unit;
    finding.source = line.source;
    finding.unreadable = line.unreadable;
    if (line.hasSeconds != 0) {
        finding.seconds = line.seconds;
    }
    finding.heldBy = line.heldBy;
    finding.ok = line.ok != 0;
    finding.advice = line.advice;
    return finding;
}
