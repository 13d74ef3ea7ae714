// The --json contract for the whole run: with --json, standard output holds
// JSON lines only, from the first to the last, and the last is the `end`
// event with the exit code, whatever happened (a usage error included).
#pragma once

#include <string>

namespace quillon::cli {

void SetJsonOutput(bool on);
bool JsonOutput();

// Writes {body,"time":T} as one line on standard output and flushes it.
void JsonEvent(const std::string& body);

// A refusal before any job starts: "quillon: TEXT" on standard error and,
// with --json, an `error` event. Returns code.
int Refuse(int code, const std::string& text);

// The run's end: with --json the `end` event, written once. Returns code.
int EndRun(int code);

}  // namespace quillon::cli
