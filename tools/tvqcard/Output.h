// What tvqcard prints for scripts (hash lines, lists, differences, JSON) goes
// through here, so that a failed write (a full disk, /dev/full, a closed
// pipe) is never taken for a result: the first error is kept, a run can stop
// on it, and FinishOutput makes it the exit status after flushing and
// closing stdout.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>

// Writes text; a failure is kept for OutputFailed and FinishOutput.
void Emit(FILE *to, const std::string &text);
// Emit, then flush, so a script reading line by line sees each line at once.
void EmitLine(FILE *to, const std::string &line);
void PrintJson(const nlohmann::json &j, FILE *to = stdout);
// True once a write of output failed.
bool OutputFailed();
// Flushes and closes stdout, flushes stderr; the exit status: status as it
// was, or 2 with a message when any output could not be written.
int FinishOutput(int status);
