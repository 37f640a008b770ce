// The publish program end to end on real folders, and its interoperation
// with Debian's minisign.
#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "cli_support.h"

namespace publish_test {
namespace {

const std::string kBig(300000, 'B');

class PublishCliTest : public CPublishCliTest {
protected:
    // Three versions: additions, changes, deletions, a move, nested folders
    // and a Chinese file name.
    void MakeThreeVersions() {
        MakeTree("v1", {{"game.exe", "exe 1"}, {"data/big.pak", kBig}, {"old.txt", "old"}, {"game.cfg", "cfg"}});
        MakeTree("v2", {{"game.exe", "exe 2"}, {"data/big.pak", kBig}, {"config/game.cfg", "cfg"},
                        {"data/地图/中文.txt", "map"}});
        MakeTree("v3", {{"game.exe", "exe 3"}, {"data/big.pak", kBig}, {"config/game.cfg", "cfg"},
                        {"data/地图/中文.txt", "map 3"}, {"readme.txt", "read me"}});
    }

    void ReleaseThreeVersions(const std::string& site) {
        ASSERT_EQ(Release(site, 1, "v1").status, 0);
        ASSERT_EQ(Release(site, 2, "v2", "v1").status, 0);
        const tagRun third = Release(site, 3, "v3", "v2");
        ASSERT_EQ(third.status, 0) << third.err;
    }
};

TEST_F(PublishCliTest, ReleasesVersionsThatVerify) {
    MakeThreeVersions();
    ReleaseThreeVersions("site");
    const tagRun verify = Publish({"verify", "site", "--game", "7", "--key", "key.pub"});
    EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
    // Downloads replaced or deleted later are gone: version 1's exe and
    // old.txt, version 2's exe and map.
    const char* lines[] = {
        "version 1: 2 downloads (300003 bytes), 0 deletes, 0 moves\n",
        "version 2: 0 downloads (0 bytes), 1 delete, 1 move\n",
        "version 3: 3 downloads (17 bytes), 0 deletes, 0 moves\n",
        "a fresh install downloads 5 files, 300020 bytes\n",
        "all good\n",
    };
    for (const char* line : lines) EXPECT_NE(verify.out.find(line), std::string::npos) << line << verify.out;

    const std::string manifest = Read("site/update/7.xml");
    const std::string released = std::to_string(releaseTime_);
    const std::string expires = std::to_string(releaseTime_ + 30 * 86400);
    EXPECT_NE(manifest.find("<Update game=\"7\" version=\"3\" url=\"http://127.0.0.1:8080/files/\" released=\"" +
                            released + "\" expires=\"" + expires + "\">"),
              std::string::npos)
        << manifest;
    EXPECT_NE(manifest.find("path=\"data\\地图\\中文.txt\""), std::string::npos);
    EXPECT_NE(manifest.find("op=\"2\" src=\"game.cfg\" des=\"config\\game.cfg\""), std::string::npos);
    // The store keeps one file per content ever released: exe 1 to 3, big,
    // old, cfg, map, map 3, read me; and big's compressed form (the small
    // files gain nothing by compressing or patching).
    size_t stored = 0;
    for (const auto& file : Snapshot("site/files")) stored += file.first.back() != '/';
    EXPECT_EQ(stored, 10u);

    // The same inputs give the same bytes.
    ReleaseThreeVersions("again");
    EXPECT_EQ(Read("again/update/7.xml"), manifest);
}

TEST_F(PublishCliTest, ReleasesCarryTheirTimeAndRefreshSignsThemAgain) {
    const uint64_t day = 86400, t = releaseTime_;
    const auto stamp = [](uint64_t released, uint64_t expires) {
        return "released=\"" + std::to_string(released) + "\" expires=\"" + std::to_string(expires) + "\">";
    };
    const auto at = [](uint64_t seconds) { return "SOURCE_DATE_EPOCH=" + std::to_string(seconds); };
    MakeTree("v1", {{"a.txt", "a"}});
    // Made 40 days ago: expired, which verify reports.
    tagRun run = Publish({"release", "site", "--game", "7", "--version", "1", "--to", "v1", "--base-url",
                          "http://h", "--key", "key"},
                         at(t - 40 * day));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(Read("site/update/7.xml").find(stamp(t - 40 * day, t - 10 * day)), std::string::npos);
    run = Publish({"verify", "site", "--game", "7", "--key", "key.pub"});
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("BAD  the manifest has expired"), std::string::npos) << run.out;

    const struct {
        const char* name;
        uint64_t time;
        std::vector<std::string> extra;
        std::string stamp;  // after the refresh
    } refreshes[] = {
        {"now, default 30 days", t, {}, stamp(t, t + 30 * day)},
        {"a day later, 7 days", t + day, {"--expires", "7"}, stamp(t + day, t + 8 * day)},
        {"a clock gone back keeps the newest time", t - day, {}, stamp(t + day, t + 31 * day)},
    };
    for (const auto& r : refreshes) {
        const std::string before = Read("site/update/7.xml");
        std::vector<std::string> args = {"refresh", "site", "--game", "7", "--key", "key"};
        args.insert(args.end(), r.extra.begin(), r.extra.end());
        run = Publish(args, at(r.time));
        ASSERT_EQ(run.status, 0) << r.name << ": " << run.err;
        const std::string after = Read("site/update/7.xml");
        EXPECT_NE(after.find(r.stamp), std::string::npos) << r.name << ": " << after;
        // Only the stamp and the signature change.
        std::string manifest, minisig, oldManifest, oldMinisig;
        SplitBody(after, &manifest, &minisig);
        SplitBody(before, &oldManifest, &oldMinisig);
        EXPECT_EQ(oldManifest.substr(oldManifest.find("\n  <File")), manifest.substr(manifest.find("\n  <File")))
            << r.name;
        Write("m.xml", manifest);
        Write("m.xml.minisig", minisig);
        EXPECT_EQ(Shell("minisign -V -p key.pub -m m.xml").status, 0) << r.name;
    }
    run = Publish({"verify", "site", "--game", "7", "--key", "key.pub"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("released "), std::string::npos) << run.out;

    // A release after a refresh never goes back in time either.
    MakeTree("v2", {{"a.txt", "a"}, {"b.txt", "b"}});
    run = Publish({"release", "site", "--game", "7", "--version", "2", "--from", "v1", "--to", "v2", "--base-url",
                   "http://h", "--key", "key"},
                  at(t));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(Read("site/update/7.xml").find(stamp(t + day, t + 31 * day)), std::string::npos);
}

TEST_F(PublishCliTest, RefusesBadExpiriesAndRefreshesOfNoSite) {
    ASSERT_EQ(Publish({"keygen", "other"}).status, 0);
    MakeTree("v1", {{"a.txt", "a"}});
    const std::vector<std::string> release = {"release", "site", "--game", "7", "--version", "1", "--to", "v1",
                                              "--base-url", "http://h", "--key", "key"};
    const struct {
        const char* name;
        std::vector<std::string> args;
        std::string environment;
        const char* message;
    } cases[] = {
        {"refresh of a site without a manifest", {"refresh", "site", "--game", "7", "--key", "key"}, "",
         "release first"},
        {"expires 0", {"--expires", "0"}, "", "--expires needs"},
        {"expires over ten years", {"--expires", "3651"}, "", "--expires needs"},
        {"expires not a number", {"--expires", "7d"}, "", "--expires needs"},
        {"time not a number", {}, "SOURCE_DATE_EPOCH=soon", "SOURCE_DATE_EPOCH"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        if (args.empty() || args[0] != "refresh") args.insert(args.begin(), release.begin(), release.end());
        const tagRun run = Publish(args, c.environment);
        EXPECT_EQ(run.status, 2) << c.name;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.name << ": " << run.err;
        EXPECT_TRUE(Snapshot("site").empty()) << c.name;
    }
    ASSERT_EQ(Publish(release).status, 0);
    const std::string signedBefore = Read("site/update/7.xml");
    const tagRun other = Publish({"refresh", "site", "--game", "7", "--key", "other"});
    EXPECT_EQ(other.status, 2) << other.err;
    EXPECT_EQ(Read("site/update/7.xml"), signedBefore) << "a refresh with another key changed the site";
}

TEST_F(PublishCliTest, MinisignVerifiesWhatPublishSigns) {
    MakeTree("v1", {{"a.txt", "a"}});
    ASSERT_EQ(Release("site", 1, "v1").status, 0);
    std::string manifest, minisig;
    ASSERT_NO_FATAL_FAILURE(SplitBody(Read("site/update/7.xml"), &manifest, &minisig));
    Write("m.xml", manifest);
    Write("m.xml.minisig", minisig);
    const tagRun run = Shell("minisign -V -p key.pub -m m.xml");
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("Trusted comment: game 7 version 1"), std::string::npos) << run.out;

    Write("m.xml", manifest + " ");
    EXPECT_NE(Shell("minisign -V -p key.pub -m m.xml").status, 0);
}

TEST_F(PublishCliTest, VerifiesAndBuildsOnWhatMinisignSigns) {
    MakeTree("v1", {{"a.txt", "a"}});
    MakeTree("v2", {{"a.txt", "a"}, {"b.txt", "b"}});
    ASSERT_EQ(Release("site", 1, "v1").status, 0);
    std::string manifest, minisig;
    ASSERT_NO_FATAL_FAILURE(SplitBody(Read("site/update/7.xml"), &manifest, &minisig));
    Write("m.xml", manifest);
    for (const char* legacy : {"", " -l"}) {
        SCOPED_TRACE(legacy);
        ASSERT_EQ(Shell(std::string("minisign -S -s key -m m.xml -t 'signed by minisign'") + legacy).status, 0);
        Write("site/update/7.xml", manifest + "<!-- signature\n" + Read("m.xml.minisig") + "-->\n");
        const tagRun verify = Publish({"verify", "site", "--game", "7", "--key", "key.pub"});
        EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
        EXPECT_NE(verify.out.find("trusted comment: signed by minisign"), std::string::npos) << verify.out;
    }
    const tagRun release = Release("site", 2, "v2", "v1");
    EXPECT_EQ(release.status, 0) << release.err;
}

// Makes a password-protected key with minisign itself: scrypt over 1 GiB, so
// one key serves every case.
TEST_F(PublishCliTest, SignsWithPasswordProtectedMinisignKey) {
    ASSERT_EQ(Shell("minisign -G -p locked.pub -s locked", "sesame\nsesame\n").status, 0);
    MakeTree("v1", {{"a.txt", "a"}});

    tagRun run = Release("site", 1, "v1", "", "locked");
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("PUBLISH_KEY_PASSWORD"), std::string::npos) << run.err;
    run = Publish({"release", "site", "--game", "7", "--version", "1", "--to", "v1", "--base-url", "http://h",
                   "--key", "locked"},
                  "PUBLISH_KEY_PASSWORD=wrong");
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("wrong password"), std::string::npos) << run.err;
    EXPECT_TRUE(Snapshot("site").empty());

    run = Publish({"release", "site", "--game", "7", "--version", "1", "--to", "v1", "--base-url", "http://h",
                   "--key", "locked"},
                  "PUBLISH_KEY_PASSWORD=sesame");
    ASSERT_EQ(run.status, 0) << run.err;
    run = Publish({"verify", "site", "--game", "7", "--key", "locked.pub"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
}

TEST_F(PublishCliTest, ReleasesAFileOf5GiB) {
    // Sparse, and already in the store under the SHA-256 of 5 GiB of zero
    // bytes, so that the release only reads it once and copies nothing.
    const std::string zeros = "7f06c62352aebd8125b2a1841e2b9e1ffcbed602f381c3dcb3200200e383d1d5";
    MakeTree("v1", {{"small.txt", "small"}});
    ASSERT_EQ(Shell("truncate -s 5G v1/big.pak && mkdir -p site/files/7f && truncate -s 5G site/files/7f/" + zeros)
                  .status,
              0);
    const tagRun release = Release("site", 1, "v1");
    ASSERT_EQ(release.status, 0) << release.err;
    const std::string manifest = Read("site/update/7.xml");
    EXPECT_NE(manifest.find("path=\"big.pak\" fname=\"7f/" + zeros + "\" size=\"5368709120\" sha256=\"" + zeros + "\""),
              std::string::npos)
        << manifest;
}

TEST_F(PublishCliTest, RefusalsWriteNothing) {
    MakeTree("v1", {{"a.txt", "a"}, {"dir/b.txt", "b"}});
    MakeTree("v2", {{"a.txt", "a2"}});
    MakeTree("bad-name", {{"aux.txt", "a"}});
    MakeTree("partial-name", {{"data.pak", "a"}, {"Data.pak_", "b"}});
    MakeTree("long", {{"d/" + std::string(250, 'x') + "/" + std::string(20, 'y'), "a"}});
    MakeTree("console", {{"sub/CONIN$.txt", "a"}});
    MakeTree("superscript", {{"com\u00b9.log", "a"}});
    MakeTree("no-room", {{"d/" + std::string(150, 'x') + "/" + std::string(9, 'y'), "a"}});
    ASSERT_EQ(Release("site", 1, "v1").status, 0);
    ASSERT_EQ(Publish({"keygen", "other"}).status, 0);
    Write("game8/update/8.xml", Read("site/update/7.xml"));
    const std::string tampered = [&] {
        std::string body = Read("site/update/7.xml");
        body[body.find("a.txt")] = 'A';
        return body;
    }();
    Write("tampered/update/7.xml", tampered);

    const struct {
        const char* name;
        std::string site;
        std::vector<std::string> args;
        const char* reason;
    } cases[] = {
        {"version not greater", "site", {"--version", "1", "--to", "v2", "--from", "v1", "--key", "key"},
         "not greater"},
        {"other key", "site", {"--version", "2", "--to", "v2", "--from", "v1", "--key", "other"}, "not by key"},
        {"missing new folder", "site", {"--version", "2", "--to", "nowhere", "--from", "v1", "--key", "key"},
         "no such folder"},
        {"missing old folder", "site", {"--version", "2", "--to", "v2", "--from", "nowhere", "--key", "key"},
         "no such folder"},
        {"old folder of another version", "site", {"--version", "2", "--to", "v1", "--from", "v2", "--key", "key"},
         "not version 1"},
        {"name Windows reserves", "site", {"--version", "2", "--to", "bad-name", "--key", "key"}, "reserves"},
        {"path too long", "site", {"--version", "2", "--to", "long", "--key", "key"}, "characters"},
        {"a name the updater takes for a partial file", "site",
         {"--version", "2", "--to", "partial-name", "--key", "key"},
         "Data.pak_ is named like the partial file of data.pak"},
        {"console device name", "site", {"--version", "2", "--to", "console", "--key", "key"}, "reserves"},
        {"port with a superscript digit", "site", {"--version", "2", "--to", "superscript", "--key", "key"},
         "reserves"},
        {"no room for the install folder", "site", {"--version", "2", "--to", "no-room", "--key", "key"},
         "at most 160"},
        {"manifest of another game", "game8", {"--version", "2", "--to", "v2", "--key", "key"}, "of game 7"},
        {"altered manifest", "tampered", {"--version", "2", "--to", "v2", "--key", "key"}, "does not match"},
        {"old folder on an empty site", "empty", {"--version", "1", "--to", "v2", "--from", "v1", "--key", "key"},
         "takes no old folder"},
        {"no key", "site", {"--version", "2", "--to", "v2", "--key", "missing"}, "cannot open"},
        {"public key instead of the secret one", "site", {"--version", "2", "--to", "v2", "--key", "key.pub"},
         "secret key"},
        {"HTTPS base URL", "site", {"--version", "2", "--to", "v2", "--key", "key", "--base-url", "https://h/"},
         "http://"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto before = Snapshot(c.site);
        std::vector<std::string> args = {"release", c.site, "--game", c.site == "game8" ? "8" : "7"};
        if (std::find(c.args.begin(), c.args.end(), "--base-url") == c.args.end()) {
            args.insert(args.end(), {"--base-url", "http://h/"});
        }
        args.insert(args.end(), c.args.begin(), c.args.end());
        const tagRun run = Publish(args);
        EXPECT_EQ(run.status, 2) << run.out << run.err;
        EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
        EXPECT_EQ(Snapshot(c.site), before);
    }

    const std::string key = Read("key");
    const tagRun keygen = Publish({"keygen", "key"});
    EXPECT_EQ(keygen.status, 2);
    EXPECT_EQ(Read("key"), key);
}

TEST_F(PublishCliTest, VerifyReportsDamage) {
    MakeTree("v1", {{"a.txt", "aaaa"}, {"b.txt", "bbbb"}, {"c.txt", "cccc"}});
    ASSERT_EQ(Release("site", 1, "v1").status, 0);
    const std::string manifest = Read("site/update/7.xml");
    auto stored = [&](const std::string& content) {
        for (const auto& file : Snapshot("site/files")) {
            if (file.second == content) return file.first.substr(dir_.size() + 1);
        }
        return std::string();
    };
    Write(stored("aaaa"), "aaab");
    std::filesystem::remove(Path(stored("bbbb")));
    Write(stored("cccc"), "ccccc");
    tagRun run = Publish({"verify", "site", "--game", "7", "--key", "key.pub"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("(for a.txt): SHA-256 differs"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("(for b.txt): missing from the store"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("(for c.txt): size differs"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("3 problems found"), std::string::npos) << run.out;

    Write("site/update/7.xml", manifest.substr(0, 60) + "8" + manifest.substr(61));
    run = Publish({"verify", "site", "--game", "7", "--key", "key.pub"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("signature"), std::string::npos) << run.err;
}

// Text that compresses, changed a little in each version.
std::string Lines(int version) {
    std::string text;
    for (int i = 0; i < 20000; ++i) text += "line " + std::to_string(i * (i % 97 == 0 ? version : 1)) + "\n";
    return text;
}

// The value of attribute `name` of the item for `path`.
std::string ItemAttribute(const std::string& manifest, const std::string& path, const std::string& name) {
    const size_t item = manifest.find("path=\"" + path + "\"");
    const size_t end = manifest.find("/>", item);
    const size_t start = manifest.find(" " + name + "=\"", item);
    if (item == std::string::npos || start == std::string::npos || start > end) return "";
    const size_t value = start + name.size() + 3;
    return manifest.substr(value, manifest.find('"', value) - value);
}

TEST_F(PublishCliTest, StoresCompressedFilesAndPatchesThatDecode) {
    for (int v = 1; v <= 3; ++v) MakeTree("v" + std::to_string(v), {{"bin/game.dll", Lines(v)}, {"tiny.txt", "t"}});
    ASSERT_EQ(Release("site", 1, "v1").status, 0);
    ASSERT_EQ(Release("site", 2, "v2", "v1").status, 0);
    const tagRun third = Publish({"release", "site", "--game", "7", "--version", "3", "--to", "v3", "--from", "v2",
                                  "--base-url", "http://127.0.0.1:8080", "--key", "key", "--level", "9"});
    ASSERT_EQ(third.status, 0) << third.err;
    const std::string manifest = Read("site/update/7.xml");
    const std::string zstd = ItemAttribute(manifest, "bin\\game.dll", "zstd");
    const std::string patch = ItemAttribute(manifest, "bin\\game.dll", "patch");
    EXPECT_TRUE(ItemAttribute(manifest, "tiny.txt", "zstd").empty()) << manifest;

    // Compressed: much smaller than the raw file, and zstd itself decodes it.
    std::istringstream z(zstd);
    std::string fname, size, sha;
    ASSERT_TRUE(z >> fname >> size >> sha) << manifest;
    EXPECT_LT(std::stoul(size) * 4, Lines(3).size());
    EXPECT_EQ(Shell("zstd -q -d -c site/files/" + fname + " | cmp - v3/bin/game.dll").status, 0);

    // Patches from version 2's content and from version 1's, newest first;
    // each one decodes with zstd --patch-from to version 3's file.
    std::vector<std::string> bases;
    std::istringstream patches(patch);
    for (std::string one; std::getline(patches, one, ';');) {
        std::istringstream p(one);
        std::string base, since, until;
        ASSERT_TRUE(p >> base >> since >> until >> fname >> size >> sha) << one;
        bases.push_back(since + "-" + until);
        EXPECT_LT(std::stoul(size) * 10, std::stoul(zstd.substr(zstd.find(' ') + 1))) << one;
        EXPECT_EQ(Shell("zstd -q -d --long=31 --patch-from=site/files/" + base.substr(0, 2) + "/" + base +
                        " -c site/files/" + fname + " | cmp - v3/bin/game.dll")
                      .status,
                  0)
            << one;
    }
    EXPECT_EQ(bases, (std::vector<std::string>{"2-3", "1-2"}));
    tagRun verify = Publish({"verify", "site", "--game", "7", "--key", "key.pub"});
    EXPECT_EQ(verify.status, 0) << verify.out;

    // A damaged patch is found.
    std::string bytes = Read("site/files/" + fname);
    bytes[bytes.size() / 2] ^= 1;
    Write("site/files/" + fname, bytes);
    verify = Publish({"verify", "site", "--game", "7", "--key", "key.pub"});
    EXPECT_EQ(verify.status, 1);
    EXPECT_NE(verify.out.find(fname + " (form of bin\\game.dll): size or SHA-256 differs"), std::string::npos)
        << verify.out;

    // Without patches; a level out of range is refused.
    MakeTree("v4", {{"bin/game.dll", Lines(4)}, {"tiny.txt", "t"}});
    const tagRun fourth = Publish({"release", "site", "--game", "7", "--version", "4", "--to", "v4", "--from", "v3",
                                   "--base-url", "http://127.0.0.1:8080", "--key", "key", "--patches", "0"});
    ASSERT_EQ(fourth.status, 0) << fourth.err;
    EXPECT_TRUE(ItemAttribute(Read("site/update/7.xml"), "bin\\game.dll", "patch").empty());
    EXPECT_FALSE(ItemAttribute(Read("site/update/7.xml"), "bin\\game.dll", "zstd").empty());
    EXPECT_EQ(Publish({"release", "site", "--game", "7", "--version", "5", "--to", "v4", "--from", "v4", "--base-url",
                       "http://127.0.0.1:8080", "--key", "key", "--level", "23"})
                  .status,
              2);
}

TEST_F(PublishCliTest, ProgressBarOnlyOnATerminal) {
    MakeTree("v1", {{"big.pak", kBig}});
    tagRun run = Release("piped", 1, "v1");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err.find('\r'), std::string::npos) << run.err;
    EXPECT_EQ(run.out.find('\r'), std::string::npos) << run.out;

    // script(1) gives the program a terminal.
    run = Shell("script -qec " +
                Quote(Quote(PUBLISH_PROGRAM) + " release tty --game 7 --version 1 --to v1 --base-url http://h --key key") +
                " /dev/null");
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("\rcopying  [##############################] 300.0 KB of 300.0 KB"), std::string::npos)
        << run.out;
}

}  // namespace
}  // namespace publish_test
