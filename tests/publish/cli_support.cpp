#include "cli_support.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace publish_test {

namespace fs = std::filesystem;

namespace {

// Generous: a password-protected key costs an scrypt derivation of 1 GiB,
// which took over two minutes on two cores shared with other builds.
const int kCommandSeconds = 600;

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::string Quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') out += "'\\''";
        else out += c;
    }
    return out + "'";
}

void CPublishCliTest::SetUp() {
    std::string pattern = (fs::temp_directory_path() / "publish-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
    dir_ = pattern;
    // nginx's workers may run as another user and must read the site.
    chmod(dir_.c_str(), 0755);
    // One release time for the whole test, so that equal inputs give equal
    // bytes; a run may set another in its environment.
    releaseTime_ = static_cast<uint64_t>(std::time(nullptr));
    setenv("SOURCE_DATE_EPOCH", std::to_string(releaseTime_).c_str(), 1);
    ASSERT_EQ(Publish({"keygen", "key"}).status, 0);
}

void CPublishCliTest::TearDown() {
    unsetenv("SOURCE_DATE_EPOCH");
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

tagRun CPublishCliTest::Shell(const std::string& command, const std::string& input) {
    Write(".stdin", input);
    const std::string line = "cd " + Quote(dir_) + " && timeout " + std::to_string(kCommandSeconds) + " sh -c " +
                             Quote(command) + " <.stdin >.stdout 2>.stderr";
    const int status = std::system(line.c_str());
    tagRun run;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = Read(".stdout");
    run.err = Read(".stderr");
    for (const char* name : {".stdin", ".stdout", ".stderr"}) fs::remove(Path(name));
    return run;
}

tagRun CPublishCliTest::Publish(const std::vector<std::string>& args, const std::string& environment) {
    std::string command = environment.empty() ? "" : environment + " ";
    command += Quote(PUBLISH_PROGRAM);
    for (const std::string& arg : args) command += " " + Quote(arg);
    return Shell(command);
}

void CPublishCliTest::Write(const std::string& relative, const std::string& content) {
    const fs::path path = fs::u8path(Path(relative));
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

std::string CPublishCliTest::Read(const std::string& relative) const { return Slurp(Path(relative)); }

std::map<std::string, std::string> CPublishCliTest::Snapshot(const std::string& relative) const {
    std::map<std::string, std::string> files;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(Path(relative), ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_regular_file()) files[it->path().string()] = Slurp(it->path().string());
        else if (it->is_directory()) files[it->path().string() + "/"] = "";
    }
    return files;
}

void CPublishCliTest::MakeTree(const std::string& relative, const std::map<std::string, std::string>& files) {
    fs::create_directories(fs::u8path(Path(relative)));
    for (const auto& file : files) Write(relative + "/" + file.first, file.second);
}

tagRun CPublishCliTest::Release(const std::string& site, int version, const std::string& to,
                                const std::string& from, const std::string& key) {
    std::vector<std::string> args = {"release", site, "--game", "7", "--version", std::to_string(version),
                                     "--to", to, "--base-url", "http://127.0.0.1:8080", "--key", key};
    if (!from.empty()) {
        args.push_back("--from");
        args.push_back(from);
    }
    return Publish(args);
}

void CPublishCliTest::SplitBody(const std::string& body, std::string* manifest, std::string* minisig) {
    const size_t block = body.rfind("<!-- signature\n");
    ASSERT_NE(block, std::string::npos);
    const size_t end = body.rfind("-->");
    ASSERT_GT(end, block);
    *manifest = body.substr(0, block);
    *minisig = body.substr(block + 15, end - block - 15);
}

}  // namespace publish_test
