// The simulated readout's files: the store directory's names, and whole-file
// reads and writes that a watcher never sees half done.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillon::sim {

// The store's file for a kind of file as the host numbers it (anything else: binary.bin).
std::string StoreNameForKind(int kind);

// Writes content to path + ".part" and renames it into place; false when
// either step fails.
bool WriteAside(const std::string& path, const std::vector<uint8_t>& content);
// The whole file; false when it cannot be opened.
bool ReadWhole(const std::string& path, std::vector<uint8_t>* content);

}  // namespace quillon::sim
