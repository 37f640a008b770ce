#include "Files.h"

#include <sodium.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "Minisign.h"
#include "Progress.h"

#ifdef _WIN32
#include <windows.h>
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace publish {
namespace {

const size_t kChunk = 1 << 20;

struct tagFileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, tagFileCloser>;

UniqueFile OpenFile(const fs::path& path, bool write) {
#ifdef _WIN32
    return UniqueFile(_wfopen(path.c_str(), write ? L"wb" : L"rb"));
#else
    return UniqueFile(std::fopen(path.c_str(), write ? "wb" : "rb"));
#endif
}

// Flushes to the disk, so that the rename that follows never exposes a file
// whose blocks are not written yet.
bool SyncAndClose(UniqueFile file) {
    if (std::fflush(file.get()) != 0) return false;
#ifdef _WIN32
    const bool synced = _commit(_fileno(file.get())) == 0;
#else
    const bool synced = fsync(fileno(file.get())) == 0;
#endif
    return std::fclose(file.release()) == 0 && synced;
}

bool Close(UniqueFile file) { return std::fclose(file.release()) == 0; }

// Flushes everything written to the file system that holds path: one call
// for a whole store instead of one per file (10,000 files took minutes).
bool SyncFileSystem(const fs::path& path) {
#ifdef _WIN32
    (void)path;  // NTFS journals the renames; the manifest itself is flushed on its own.
    return true;
#else
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return false;
    const bool synced = syncfs(fd) == 0;
    close(fd);
    return synced;
#endif
}

bool RenameOver(const fs::path& from, const fs::path& to) {
#ifdef _WIN32
    return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
#else
    std::error_code ec;
    fs::rename(from, to, ec);
    return !ec;
#endif
}

fs::path TemporaryBeside(const fs::path& path) {
    unsigned char nonce[6];
    randombytes_buf(nonce, sizeof nonce);
    return path.parent_path() / PathFromUtf8("." + path.filename().u8string() + ".tmp-" + HexOf(nonce, sizeof nonce));
}

std::string Describe(const fs::path& path) { return path.u8string(); }

// Reads path chunk by chunk into the hash and, when out is set, a copy.
bool Pump(const fs::path& path, std::FILE* out, CProgress* progress, std::string* sha256, std::string* error) {
    UniqueFile in = OpenFile(path, false);
    if (!in) {
        *error = "cannot open " + Describe(path);
        return false;
    }
    std::vector<unsigned char> buffer(kChunk);
    crypto_hash_sha256_state state;
    crypto_hash_sha256_init(&state);
    size_t read;
    while ((read = std::fread(buffer.data(), 1, buffer.size(), in.get())) > 0) {
        crypto_hash_sha256_update(&state, buffer.data(), read);
        if (out && std::fwrite(buffer.data(), 1, read, out) != read) {
            *error = "cannot write the copy of " + Describe(path);
            return false;
        }
        if (progress) progress->Advance(read);
    }
    if (std::ferror(in.get())) {
        *error = "cannot read " + Describe(path);
        return false;
    }
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256_final(&state, digest);
    *sha256 = HexOf(digest, sizeof digest);
    return true;
}

uint64_t TotalSize(const std::vector<tagFileEntry>& files) {
    uint64_t total = 0;
    for (const tagFileEntry& file : files) total += file.size_;
    return total;
}

}  // namespace

fs::path PathFromUtf8(const std::string& text) { return fs::u8path(text); }

bool ReadWholeFile(const fs::path& path, std::string* bytes, std::string* error) {
    UniqueFile in = OpenFile(path, false);
    if (!in) {
        *error = "cannot open " + Describe(path);
        return false;
    }
    bytes->clear();
    char buffer[65536];
    size_t read;
    while ((read = std::fread(buffer, 1, sizeof buffer, in.get())) > 0) bytes->append(buffer, read);
    if (std::ferror(in.get())) {
        *error = "cannot read " + Describe(path);
        return false;
    }
    return true;
}

bool WriteWholeFile(const fs::path& path, const std::string& bytes, bool isPrivate, std::string* error) {
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    const fs::path temporary = TemporaryBeside(path);
    UniqueFile out = OpenFile(temporary, true);
    if (!out) {
        *error = "cannot create " + Describe(temporary);
        return false;
    }
    if (isPrivate) fs::permissions(temporary, fs::perms::owner_read | fs::perms::owner_write, ec);
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out.get()) == bytes.size();
    if (!written || !SyncAndClose(std::move(out)) || !RenameOver(temporary, path)) {
        fs::remove(temporary, ec);
        *error = "cannot write " + Describe(path);
        return false;
    }
    return true;
}

bool ListFolder(const fs::path& root, std::vector<tagFileEntry>* files, std::string* error) {
    files->clear();
    std::error_code ec;
    if (!fs::is_directory(root, ec)) {
        *error = "no such folder: " + Describe(root);
        return false;
    }
    fs::recursive_directory_iterator it(root, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const fs::directory_entry& entry = *it;
        if (entry.is_directory(ec) && !entry.is_symlink(ec)) continue;
        if (!entry.is_regular_file(ec)) {
            *error = "neither a file nor a folder: " + Describe(entry.path());
            return false;
        }
        tagFileEntry file;
        for (const fs::path& part : entry.path().lexically_relative(root)) {
            if (!file.path_.empty()) file.path_ += '\\';
            file.path_ += part.u8string();
        }
        file.size_ = entry.file_size(ec);
        if (ec) break;
        files->push_back(file);
    }
    if (ec) {
        *error = "cannot list " + Describe(root) + ": " + ec.message();
        return false;
    }
    std::sort(files->begin(), files->end(),
              [](const tagFileEntry& a, const tagFileEntry& b) { return a.path_ < b.path_; });
    return true;
}

bool HashFile(const fs::path& path, CProgress* progress, std::string* sha256, std::string* error) {
    return Pump(path, nullptr, progress, sha256, error);
}

bool HashFolder(const fs::path& root, const char* label, std::vector<tagFileEntry>* files, std::string* error) {
    CProgress progress(label, TotalSize(*files));
    for (tagFileEntry& file : *files) {
        std::string relative = file.path_;
        std::replace(relative.begin(), relative.end(), '\\', '/');
        if (!HashFile(root / PathFromUtf8(relative), &progress, &file.sha256_, error)) return false;
    }
    return true;
}

bool StoreFiles(const fs::path& root, const std::vector<tagFileEntry>& files, const fs::path& store,
                size_t* added, std::string* error) {
    *added = 0;
    std::vector<tagFileEntry> missing;
    for (const tagFileEntry& file : files) {
        std::error_code ec;
        const fs::path target = store / PathFromUtf8(StoreName(file.sha256_));
        // Stored files are immutable: the name is the content.
        if (fs::is_regular_file(target, ec) && fs::file_size(target, ec) == file.size_ && !ec) continue;
        missing.push_back(file);
    }
    CProgress progress("copying", TotalSize(missing));
    for (const tagFileEntry& file : missing) {
        std::error_code ec;
        const fs::path target = store / PathFromUtf8(StoreName(file.sha256_));
        fs::create_directories(target.parent_path(), ec);
        const fs::path temporary = TemporaryBeside(target);
        UniqueFile out = OpenFile(temporary, true);
        if (!out) {
            *error = "cannot create " + Describe(temporary);
            return false;
        }
        std::string relative = file.path_;
        std::replace(relative.begin(), relative.end(), '\\', '/');
        std::string sha256;
        bool ok = Pump(root / PathFromUtf8(relative), out.get(), &progress, &sha256, error);
        if (ok && sha256 != file.sha256_) {
            *error = file.path_ + " changed while it was being published";
            ok = false;
        }
        if (ok && (!Close(std::move(out)) || !RenameOver(temporary, target))) {
            *error = "cannot write " + Describe(target);
            ok = false;
        }
        if (!ok) {
            out.reset();
            fs::remove(temporary, ec);
            return false;
        }
        ++*added;
    }
    // The manifest that names these files must never reach the disk first.
    if (*added > 0 && !SyncFileSystem(store)) {
        *error = "cannot flush " + Describe(store) + " to the disk";
        return false;
    }
    return true;
}

}  // namespace publish
