// Port labels and the summary table.
#include "cli/labels.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace quillon::cli {

namespace {

constexpr size_t LABEL_MAX = 20;

bool IsDigits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// The last part of a path; a bare number keeps its directory (pts/3).
std::string BaseName(const std::string& port) {
  const size_t slash = port.find_last_of("/\\");
  if (slash == std::string::npos) return port;
  std::string base = port.substr(slash + 1);
  if (!IsDigits(base)) return base;
  const size_t before = slash == 0 ? std::string::npos : port.find_last_of("/\\", slash - 1);
  return port.substr(before == std::string::npos ? 0 : before + 1);
}

// A name cut into words at '-' and '_', each word with the mark before it.
std::vector<std::string> Words(const std::string& name) {
  std::vector<std::string> words;
  size_t start = 0;
  for (size_t i = 1; i <= name.size(); ++i) {
    if (i == name.size() || name[i] == '-' || name[i] == '_') {
      words.push_back(name.substr(start, i - start));
      start = i;
    }
  }
  return words;
}

// The words where the names differ: the words all share at the start and
// at the end are left out.
std::vector<std::string> DistinctParts(const std::vector<std::string>& names) {
  std::vector<std::vector<std::string>> words;
  size_t shortest = SIZE_MAX;
  for (const auto& name : names) {
    words.push_back(Words(name));
    shortest = std::min(shortest, words.back().size());
  }
  auto same = [&](auto at) {
    return std::all_of(words.begin(), words.end(),
                       [&](const auto& w) { return at(w) == at(words[0]); });
  };
  size_t front = 0, back = 0;
  while (front + 1 < shortest && same([&](const auto& w) { return w[front]; })) ++front;
  while (back + front + 1 < shortest && same([&](const auto& w) { return w[w.size() - 1 - back]; }))
    ++back;
  std::vector<std::string> parts;
  for (const auto& w : words) {
    std::string part;
    for (size_t i = front; i < w.size() - back; ++i) part += w[i];
    while (!part.empty() && (part.front() == '-' || part.front() == '_')) part.erase(0, 1);
    parts.push_back(part);
  }
  return parts;
}

}  // namespace

std::vector<std::string> ShortLabels(const std::vector<std::string>& ports) {
  std::vector<std::string> labels;
  for (const auto& port : ports) labels.push_back(BaseName(port));
  const bool long_ =
      std::any_of(labels.begin(), labels.end(), [](const auto& l) { return l.size() > LABEL_MAX; });
  if (ports.size() > 1 && long_) labels = DistinctParts(labels);
  for (auto& label : labels) {
    // Still long: its end tells most (a serial number, a port number).
    if (label.size() > LABEL_MAX) label = ".." + label.substr(label.size() - (LABEL_MAX - 2));
  }
  std::set<std::string> seen(labels.begin(), labels.end());
  const bool empty =
      std::any_of(labels.begin(), labels.end(), [](const auto& l) { return l.empty(); });
  if (seen.size() != labels.size() || empty) {
    for (size_t i = 0; i < labels.size(); ++i) labels[i] = "port" + std::to_string(i + 1);
  }
  return labels;
}

std::vector<std::string> SummaryLines(const std::vector<RunSummary>& runs,
                                      const std::vector<std::string>& labels, int width) {
  size_t labelWidth = 4;
  for (const auto& label : labels) labelWidth = std::max(labelWidth, label.size());
  std::vector<std::string> lines;
  auto row = [&](const std::string& port, const std::string& outcome, const std::string& bytes,
                 const std::string& time, std::string reason) {
    char text[160];
    std::snprintf(text, sizeof text, "%-*s  %-11s  %10s  %8s  ", static_cast<int>(labelWidth),
                  port.c_str(), outcome.c_str(), bytes.c_str(), time.c_str());
    const std::string head = text;
    // What is left of the width for the reason; at least 20 columns.
    const size_t room = width > 0
                            ? std::max<size_t>(20, static_cast<size_t>(width - 1) -
                                                       std::min<size_t>(head.size(), width - 1))
                            : SIZE_MAX;
    std::string line = head;
    do {
      size_t cut = reason.size() <= room ? reason.size() : reason.rfind(' ', room);
      if (cut == std::string::npos || cut == 0) cut = std::min(room, reason.size());
      line += reason.substr(0, cut);
      while (!line.empty() && line.back() == ' ') line.pop_back();
      lines.push_back(line);
      reason.erase(0, cut);
      while (!reason.empty() && reason.front() == ' ') reason.erase(0, 1);
      line = std::string(head.size(), ' ');
    } while (!reason.empty());
  };
  row("PORT", "OUTCOME", "BYTES", "TIME", "REASON");
  for (size_t i = 0; i < runs.size(); ++i) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1fs", runs[i].seconds);
    row(i < labels.size() ? labels[i] : runs[i].port, runs[i].outcome,
        std::to_string(runs[i].bytes), seconds, runs[i].reason);
  }
  return lines;
}

}  // namespace quillon::cli
