// File work of the publishing tool: game folder listings, hashing, the
// content-addressed store and whole-file replacement by rename.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "Planner.h"

namespace publish {

namespace fs = std::filesystem;

fs::path PathFromUtf8(const std::string& text);

bool ReadWholeFile(const fs::path& path, std::string* bytes, std::string* error);
// Writes a temporary file beside path and renames it over path: readers see
// the old content or the new one, and a failure leaves the old one. A
// private file is readable by its owner only.
bool WriteWholeFile(const fs::path& path, const std::string& bytes, bool isPrivate, std::string* error);

// Every file under root (sizes, no hashes), sorted by path; false for a
// missing folder or an entry that is neither file nor folder.
bool ListFolder(const fs::path& root, std::vector<tagFileEntry>* files, std::string* error);
// Fills in the SHA-256 of every listed file, with one progress bar.
bool HashFolder(const fs::path& root, const char* label, std::vector<tagFileEntry>* files, std::string* error);
bool HashFile(const fs::path& path, class CProgress* progress, std::string* sha256, std::string* error);

// Copies each file into SITE/files/<StoreName> unless the store has it,
// checking on the way that its content is still the one hashed.
bool StoreFiles(const fs::path& root, const std::vector<tagFileEntry>& files, const fs::path& store,
                size_t* added, std::string* error);

}  // namespace publish
