// Shared fixture of the command-line tests: a scratch folder, files in it,
// and runs of publish, minisign, nginx and curl with bounded waits.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace publish_test {

struct tagRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::string Quote(const std::string& text);

class CPublishCliTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs a shell command line in the scratch folder, with a time limit.
    tagRun Shell(const std::string& command, const std::string& input = "");
    // Runs the publish program with the quoted arguments.
    tagRun Publish(const std::vector<std::string>& args, const std::string& environment = "");

    std::string Path(const std::string& relative) const { return dir_ + "/" + relative; }
    void Write(const std::string& relative, const std::string& content);
    std::string Read(const std::string& relative) const;
    // Every file under a folder, path -> content: what "nothing written" compares.
    std::map<std::string, std::string> Snapshot(const std::string& relative) const;

    // A game folder from path -> content.
    void MakeTree(const std::string& relative, const std::map<std::string, std::string>& files);
    // publish release SITE --game 7 --version V --to TO [--from FROM] with the fixture's key.
    tagRun Release(const std::string& site, int version, const std::string& to, const std::string& from = "",
                   const std::string& key = "key");

    // Splits a signed manifest into M and the .minisig text by plain search.
    static void SplitBody(const std::string& body, std::string* manifest, std::string* minisig);

    std::string dir_;
    // The release time publish is given (SOURCE_DATE_EPOCH), seconds since 1970.
    uint64_t releaseTime_ = 0;
};

}  // namespace publish_test
