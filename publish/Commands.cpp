#include "Commands.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <limits>
#include <map>
#include <set>

#include "Console.h"
#include "Files.h"
#include "Forms.h"
#include "Manifest.h"
#include "Minisign.h"
#include "Planner.h"

namespace publish {

const char kPasswordVariable[] = "PUBLISH_KEY_PASSWORD";

namespace {

const char kUsage[] =
    "usage: publish keygen KEYFILE\n"
    "       publish release SITE --game N --version V --to NEW_DIR [--from OLD_DIR] --base-url URL --key KEYFILE\n"
    "                       [--expires DAYS] [--level 1..22] [--patches K]\n"
    "       publish refresh SITE --game N --key KEYFILE [--expires DAYS]\n"
    "       publish verify SITE --game N --key KEYFILE.pub\n";

// How long a signed release stays fresh for updaters with a key.
const uint64_t kDefaultExpiryDays = 30;
const uint64_t kMaxExpiryDays = 3650;
const uint64_t kSecondsPerDay = 86400;
// Sets the release time instead of the clock: the same inputs then give
// the same bytes.
const char kTimeVariable[] = "SOURCE_DATE_EPOCH";

int Refuse(const std::string& text) {
    std::fprintf(stderr, "publish: %s\n", text.c_str());
    return kExitRefused;
}

int Fail(const std::string& text) {
    std::fprintf(stderr, "publish: %s\n", text.c_str());
    return kExitFailed;
}

// SITE followed by --name value pairs; false on anything else.
bool ParseOptions(const std::vector<std::string>& args, const std::set<std::string>& known, std::string* site,
                  std::map<std::string, std::string>* options, std::string* error) {
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i].compare(0, 2, "--") != 0) {
            if (!site->empty()) {
                *error = "unexpected argument " + args[i];
                return false;
            }
            *site = args[i];
        } else if (!known.count(args[i]) || i + 1 == args.size()) {
            *error = "unknown option or missing value: " + args[i];
            return false;
        } else {
            (*options)[args[i]] = args[i + 1];
            ++i;
        }
    }
    if (site->empty()) {
        *error = "no SITE folder given";
        return false;
    }
    return true;
}

bool ParseGame(const std::map<std::string, std::string>& options, uint32_t* game, std::string* error) {
    uint64_t value = 0;
    const auto it = options.find("--game");
    if (it == options.end() || !ParseDecimal(it->second, std::numeric_limits<uint32_t>::max(), &value)) {
        *error = "--game needs a game id (decimal, 0 to 4294967295)";
        return false;
    }
    *game = static_cast<uint32_t>(value);
    return true;
}

// Stamps the manifest with its release time and expiry: the time is the
// clock's (or kTimeVariable's), but never before the release it replaces,
// which updaters would then refuse as a replay of an older one.
bool StampRelease(const std::map<std::string, std::string>& options, uint64_t previous, tagManifest* manifest,
                  std::string* error) {
    uint64_t days = kDefaultExpiryDays;
    const auto it = options.find("--expires");
    if (it != options.end() && (!ParseDecimal(it->second, kMaxExpiryDays, &days) || days == 0)) {
        *error = "--expires needs a number of days (1 to " + std::to_string(kMaxExpiryDays) + ")";
        return false;
    }
    uint64_t now = static_cast<uint64_t>(std::max<std::time_t>(std::time(nullptr), 0));
    std::string fixed;
    // Leaves room for the expiry within the updater's signed 64-bit reading.
    if (GetEnvironment(kTimeVariable, &fixed) && !ParseDecimal(fixed, std::numeric_limits<uint32_t>::max(), &now)) {
        *error = std::string(kTimeVariable) + " must be seconds since 1970";
        return false;
    }
    manifest->released_ = std::max(now, previous);
    manifest->expires_ = manifest->released_ + days * kSecondsPerDay;
    return true;
}

std::string TimeText(uint64_t seconds) {
    const std::time_t time = static_cast<std::time_t>(seconds);
    const std::tm* parts = std::gmtime(&time);
    char text[40];
    if (!parts || !std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", parts)) {
        return std::to_string(seconds);
    }
    return text;
}

std::string StampText(const tagManifest& manifest) {
    if (manifest.released_ == 0) return "no release time";
    return "released " + TimeText(manifest.released_) + ", expires " + TimeText(manifest.expires_);
}

fs::path ManifestPath(const std::string& site, uint32_t game) {
    return PathFromUtf8(site) / "update" / (std::to_string(game) + ".xml");
}

std::string Plural(size_t count, const char* noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

bool LoadSecretKey(const std::string& file, tagSecretKey* key, std::string* error) {
    std::string text;
    tagSecretKeyFile sealed;
    if (!ReadWholeFile(PathFromUtf8(file), &text, error) || !ParseSecretKeyFile(text, &sealed, error)) return false;
    std::string password;
    if (sealed.encrypted_ && !GetEnvironment(kPasswordVariable, &password)) {
        if (!InputIsTerminal()) {
            *error = file + " is password-protected: set " + kPasswordVariable + " or run on a terminal";
            return false;
        }
        if (!ReadPassword("Password for " + file + ": ", &password)) {
            *error = "cannot read the password";
            return false;
        }
    }
    if (sealed.encrypted_) std::fprintf(stderr, "deriving the key from the password...\n");
    return OpenSecretKey(sealed, password, key, error);
}

// Reads and checks a site's signed manifest of game.
bool LoadSignedManifest(const fs::path& path, const tagPublicKey& key, uint32_t game, tagManifest* manifest,
                        tagSignature* signature, std::string* error) {
    std::string body, text, minisig;
    if (!ReadWholeFile(path, &body, error)) return false;
    if (!SplitSignedBody(body, &text, &minisig, error) || !ParseSignature(minisig, signature, error) ||
        !VerifySignature(key, text, *signature, error)) {
        *error = path.u8string() + ": " + *error;
        return false;
    }
    if (!ParseManifest(text, manifest, error)) return false;
    if (manifest->game_ != game) {
        *error = path.u8string() + " is the manifest of game " + std::to_string(manifest->game_) + ", not of game " +
                 std::to_string(game);
        return false;
    }
    return true;
}

int Keygen(const std::vector<std::string>& args) {
    if (args.size() != 2) return Refuse(std::string("keygen takes one KEYFILE\n") + kUsage);
    const fs::path secretPath = PathFromUtf8(args[1]);
    const fs::path publicPath = PathFromUtf8(args[1] + ".pub");
    std::error_code ec;
    if (fs::exists(secretPath, ec) || fs::exists(publicPath, ec)) {
        return Refuse(args[1] + " or its .pub exists already; keys are never overwritten");
    }
    tagSecretKey key;
    GenerateKeyPair(&key);
    const tagPublicKey publicKey = PublicKeyOf(key);
    std::string error;
    if (!WriteWholeFile(secretPath, FormatSecretKey(key), true, &error) ||
        !WriteWholeFile(publicPath, FormatPublicKey(publicKey), false, &error)) {
        return Fail(error);
    }
    std::printf("key %s: secret key %s (unencrypted: keep it safe), public key %s.pub\n",
                KeyIdText(key.keyId_).c_str(), args[1].c_str(), args[1].c_str());
    return kExitOk;
}

int Release(const std::vector<std::string>& args) {
    std::string site, error;
    std::map<std::string, std::string> options;
    if (!ParseOptions(args, {"--game", "--version", "--to", "--from", "--base-url", "--key", "--expires", "--level",
                             "--patches"},
                      &site, &options, &error)) {
        return Refuse(error + "\n" + kUsage);
    }
    tagFormOptions forms;
    uint64_t number = 0;
    if (options.count("--level")) {
        if (!ParseDecimal(options["--level"], 22, &number) || number == 0) return Refuse("--level needs 1 to 22");
        forms.level_ = static_cast<int>(number);
    }
    if (options.count("--patches")) {
        if (!ParseDecimal(options["--patches"], 16, &number)) return Refuse("--patches needs 0 to 16");
        forms.patchBases_ = number;
    }
    for (const char* required : {"--to", "--base-url", "--key"}) {
        if (!options.count(required)) return Refuse(std::string("release needs ") + required + "\n" + kUsage);
    }
    tagReleaseInput input;
    uint64_t version = 0;
    if (!ParseGame(options, &input.game_, &error)) return Refuse(error);
    if (!options.count("--version") ||
        !ParseDecimal(options["--version"], std::numeric_limits<uint64_t>::max(), &version)) {
        return Refuse("--version needs a decimal version");
    }
    input.version_ = version;
    std::string url = options["--base-url"];
    if (url.compare(0, 7, "http://") != 0 || url.find_first_of(" \"<>&") != std::string::npos) {
        return Refuse("--base-url must be a plain http:// URL (the updater speaks HTTP only)");
    }
    if (url.back() != '/') url += '/';
    input.url_ = url + "files/";

    tagSecretKey key;
    if (!LoadSecretKey(options["--key"], &key, &error)) return Refuse(error);

    const fs::path manifestPath = ManifestPath(site, input.game_);
    std::error_code ec;
    if (fs::exists(manifestPath, ec)) {
        tagSignature signature;
        if (!LoadSignedManifest(manifestPath, PublicKeyOf(key), input.game_, &input.current_, &signature,
                                &error)) {
            return Refuse(error);
        }
    }
    if (!CheckVersion(input.current_, input.version_, &error)) return Refuse(error);
    tagManifest stamp;
    if (!StampRelease(options, input.current_.released_, &stamp, &error)) return Refuse(error);

    const fs::path to = PathFromUtf8(options["--to"]);
    if (!ListFolder(to, &input.new_, &error)) return Refuse(error);
    if (options.count("--from")) {
        input.hasOld_ = true;
        const fs::path from = PathFromUtf8(options["--from"]);
        if (!ListFolder(from, &input.old_, &error)) return Refuse(error);
        if (!HashFolder(from, "old", &input.old_, &error)) return Fail(error);
    }
    if (!HashFolder(to, "new", &input.new_, &error)) return Fail(error);

    tagReleasePlan plan;
    if (!PlanRelease(input, &plan, &error)) return Refuse(error);

    size_t added = 0, formsAdded = 0;
    if (!StoreFiles(to, plan.stored_, PathFromUtf8(site) / "files", &added, &error)) return Fail(error);
    plan.manifest_.released_ = stamp.released_;
    plan.manifest_.expires_ = stamp.expires_;
#ifdef PUBLISH_WITH_ZSTD
    if (!AddForms(input.current_, input.old_, options["--to"], (PathFromUtf8(site) / "files").u8string(), forms,
                  &plan.manifest_, &formsAdded, &error)) {
        return Fail(error);
    }
#endif
    const std::string text = FormatManifest(plan.manifest_);
    const std::string trusted = "game " + std::to_string(input.game_) + " version " + std::to_string(version);
    if (!WriteWholeFile(manifestPath, JoinSignedBody(text, Sign(key, text, trusted)), false, &error)) {
        return Fail(error);
    }
    std::printf("game %u version %llu: %s, %s, %s; %s new in the store\n", input.game_,
                static_cast<unsigned long long>(version), Plural(plan.downloads_, "download").c_str(),
                Plural(plan.deletes_, "delete").c_str(), Plural(plan.moves_, "move").c_str(),
                Plural(added, "file").c_str());
    if (formsAdded) std::printf("%s of compressed files and patches new in the store\n", Plural(formsAdded, "file").c_str());
    std::printf("kept %s of earlier versions, dropped %s they made useless\n", Plural(plan.kept_, "item").c_str(),
                Plural(plan.dropped_, "download").c_str());
    std::printf("signed %s with key %s, %s\n", manifestPath.u8string().c_str(), KeyIdText(key.keyId_).c_str(),
                StampText(plan.manifest_).c_str());
    return kExitOk;
}

// Signs the site's manifest again, unchanged but for a new release time
// and expiry, so that an unchanged site stays fresh.
int Refresh(const std::vector<std::string>& args) {
    std::string site, error;
    std::map<std::string, std::string> options;
    if (!ParseOptions(args, {"--game", "--key", "--expires"}, &site, &options, &error)) {
        return Refuse(error + "\n" + kUsage);
    }
    uint32_t game = 0;
    if (!ParseGame(options, &game, &error)) return Refuse(error);
    if (!options.count("--key")) return Refuse(std::string("refresh needs --key\n") + kUsage);
    tagSecretKey key;
    if (!LoadSecretKey(options["--key"], &key, &error)) return Refuse(error);
    const fs::path manifestPath = ManifestPath(site, game);
    std::error_code ec;
    if (!fs::exists(manifestPath, ec)) return Refuse(manifestPath.u8string() + " does not exist: release first");
    tagManifest manifest;
    tagSignature signature;
    if (!LoadSignedManifest(manifestPath, PublicKeyOf(key), game, &manifest, &signature, &error)) {
        return Refuse(error);
    }
    if (!StampRelease(options, manifest.released_, &manifest, &error)) return Refuse(error);
    const std::string text = FormatManifest(manifest);
    const std::string trusted = "game " + std::to_string(game) + " version " + std::to_string(manifest.version_);
    if (!WriteWholeFile(manifestPath, JoinSignedBody(text, Sign(key, text, trusted)), false, &error)) {
        return Fail(error);
    }
    std::printf("game %u version %llu: signed %s again with key %s, %s\n", game,
                static_cast<unsigned long long>(manifest.version_), manifestPath.u8string().c_str(),
                KeyIdText(key.keyId_).c_str(), StampText(manifest).c_str());
    return kExitOk;
}

struct tagVersionSummary {
    size_t downloads_ = 0;
    size_t deletes_ = 0;
    size_t moves_ = 0;
    size_t others_ = 0;
    uint64_t bytes_ = 0;
};

// Checks each compressed file and patch of a download item once: present,
// its own digest, and decoding to the item's content. Returns the problems.
size_t CheckForms(const fs::path& store, const tagItem& item, std::map<std::string, bool>* checked) {
    std::vector<tagForm> forms;
    tagForm compressed;
    std::string problem;
    if (!item.Get("zstd").empty() && ParseZstdForm(item.Get("zstd"), &compressed)) forms.push_back(compressed);
    if (!item.Get("zstd").empty() && forms.empty()) problem = "unreadable zstd attribute";
    std::vector<tagForm> patches;
    if (!ParsePatchForms(item.Get("patch"), &patches)) problem = "unreadable patch attribute";
    forms.insert(forms.end(), patches.begin(), patches.end());
    size_t problems = 0;
    if (!problem.empty()) {
        ++problems;
        std::printf("BAD  forms of %s: %s\n", item.Get("path").c_str(), problem.c_str());
    }
    std::string expected = item.Get("sha256");
    for (char& c : expected) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const tagForm& form : forms) {
        if (checked->count(form.fname_)) continue;
        problem.clear();
        CheckForm(store.u8string(), form, expected, &problem);
        (*checked)[form.fname_] = problem.empty();
        if (!problem.empty()) {
            ++problems;
            std::printf("BAD  %s (form of %s): %s\n", form.fname_.c_str(), item.Get("path").c_str(), problem.c_str());
        }
    }
    return problems;
}

int Verify(const std::vector<std::string>& args) {
    std::string site, error;
    std::map<std::string, std::string> options;
    if (!ParseOptions(args, {"--game", "--key"}, &site, &options, &error)) return Refuse(error + "\n" + kUsage);
    uint32_t game = 0;
    if (!ParseGame(options, &game, &error)) return Refuse(error);
    std::string keyText;
    tagPublicKey key;
    if (!options.count("--key")) return Refuse("verify needs --key KEYFILE.pub");
    if (!ReadWholeFile(PathFromUtf8(options["--key"]), &keyText, &error) || !ParsePublicKey(keyText, &key, &error)) {
        return Refuse(error);
    }
    tagManifest manifest;
    tagSignature signature;
    if (!LoadSignedManifest(ManifestPath(site, game), key, game, &manifest, &signature, &error)) return Fail(error);

    std::map<uint64_t, tagVersionSummary> versions;
    std::map<std::string, bool> checked;  // fname -> good
    size_t problems = 0;
    const fs::path store = PathFromUtf8(site) / "files";
    for (const tagItem& item : manifest.items_) {
        tagVersionSummary& summary = versions[item.Version()];
        switch (item.Op()) {
            case kOpDelete: ++summary.deletes_; continue;
            case kOpMove: ++summary.moves_; continue;
            case kOpDownload: break;
            default: ++summary.others_; continue;
        }
        ++summary.downloads_;
        uint64_t size = 0;
        ParseDecimal(item.Get("size"), std::numeric_limits<int64_t>::max(), &size);
        summary.bytes_ += size;
        problems += CheckForms(store, item, &checked);
        const std::string& fname = item.Get("fname");
        if (checked.count(fname)) continue;
        std::string problem;
        std::string expected = item.Get("sha256");
        for (char& c : expected) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const fs::path file = store / PathFromUtf8(fname);
        std::error_code ec;
        std::string actual;
        if (fname.empty() || fname.find("..") != std::string::npos || PathFromUtf8(fname).is_absolute()) {
            problem = "unusable fname \"" + fname + "\"";
        } else if (expected.size() != 64) {
            problem = "no sha256";
        } else if (!fs::is_regular_file(file, ec)) {
            problem = "missing from the store";
        } else if (fs::file_size(file, ec) != size || ec) {
            problem = "size differs from the manifest's " + std::to_string(size);
        } else if (!HashFile(file, nullptr, &actual, &problem) || actual != expected) {
            if (problem.empty()) problem = "SHA-256 differs from the manifest's";
        }
        checked[fname] = problem.empty();
        if (!problem.empty()) {
            ++problems;
            std::printf("BAD  %s (for %s): %s\n", fname.c_str(), item.Get("path").c_str(), problem.c_str());
        }
    }

    std::printf("game %u version %llu, signed by key %s (trusted comment: %s)\n", game,
                static_cast<unsigned long long>(manifest.version_), KeyIdText(signature.keyId_).c_str(),
                signature.trustedComment_.c_str());
    std::printf("download base %s\n", manifest.url_.c_str());
    std::printf("%s\n", StampText(manifest).c_str());
    if (manifest.released_ != 0 && static_cast<uint64_t>(std::time(nullptr)) >= manifest.expires_) {
        ++problems;
        std::printf("BAD  the manifest has expired: updaters with a key refuse it (publish refresh signs it anew)\n");
    }
    uint64_t freshBytes = 0;
    size_t freshFiles = 0;
    for (const auto& entry : versions) {
        const tagVersionSummary& s = entry.second;
        std::printf("version %llu: %s (%llu bytes), %s, %s", static_cast<unsigned long long>(entry.first),
                    Plural(s.downloads_, "download").c_str(), static_cast<unsigned long long>(s.bytes_),
                    Plural(s.deletes_, "delete").c_str(), Plural(s.moves_, "move").c_str());
        if (s.others_) std::printf(", %s", Plural(s.others_, "other item").c_str());
        std::printf("\n");
        if (entry.first > 0) {
            freshBytes += s.bytes_;
            freshFiles += s.downloads_;
        }
    }
    std::printf("%s in all; %s in the store checked\n", Plural(manifest.items_.size(), "item").c_str(),
                Plural(checked.size(), "file").c_str());
    std::printf("a fresh install downloads %s, %llu bytes\n", Plural(freshFiles, "file").c_str(),
                static_cast<unsigned long long>(freshBytes));
    if (problems) {
        std::printf("%s\n", (Plural(problems, "problem") + " found").c_str());
        return kExitFailed;
    }
    std::printf("all good\n");
    return kExitOk;
}

}  // namespace

int RunCommand(const std::vector<std::string>& args) {
    if (!InitCrypto()) return Fail("cannot initialise libsodium");
    if (args.empty()) return Refuse(std::string("no command\n") + kUsage);
    if (args[0] == "keygen") return Keygen(args);
    if (args[0] == "release") return Release(args);
    if (args[0] == "refresh") return Refresh(args);
    if (args[0] == "verify") return Verify(args);
    return Refuse("unknown command " + args[0] + "\n" + kUsage);
}

}  // namespace publish
