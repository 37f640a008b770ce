// The rules a manifest must meet before its items run: made for this game,
// and well-formed SHA-256 digests on its downloads (required with a key).
#include <string>

#include <gtest/gtest.h>

#include "ManifestTrust.h"

using _ServerEngine::CXMLConfig;

namespace {

const std::string kDigest = "43bb7c7784d0a6304837645dbdef417d21a805cb2c0dd6fe1ce8b52027cefb97";

std::string File(const std::string& attributes) {
    return "<File version=\"1\" " + attributes + "/>";
}

TEST(ManifestTrustTest, GameAttributeMustNameTheGameOfTheRun) {
    const struct {
        const char* update;  // the Update element's attributes
        bool ok;
    } cases[] = {
        {"game=\"7\"", true},   {"game=\"007\"", true}, {"", false},
        {"game=\"8\"", false},  {"game=\"\"", false},   {"game=\"+7\"", false},
        {"game=\"7x\"", false}, {"game=\"-7\"", false}, {"game=\"4294967303\"", false},
    };
    for (const auto& c : cases) {
        const std::string xml = std::string("<Update ") + c.update + " url=\"/f/\" version=\"2\">" +
                                File("op=\"1\" path=\"a\"") + File("op=\"1\" path=\"b\"") + "</Update>";
        CXMLConfig root(L"", nullptr, 0);
        ASSERT_TRUE(root.LoadFromBuffer(xml.data(), static_cast<unsigned>(xml.size()))) << xml;
        EXPECT_EQ(c.ok, ManifestIsForGame(root.FindNode(L"Update"), 7)) << c.update;
    }
}

TEST(ManifestTrustTest, DownloadItemsNeedAWellFormedDigest) {
    const struct {
        const char* name;
        std::string items;
        bool required, ok;
    } cases[] = {
        {"digest on every download",
         File("op=\"0\" sha256=\"" + kDigest + "\"") + File("sha256=\"" + kDigest + "\""), true, true},
        {"upper-case digest",
         File("op=\"0\" sha256=\"43BB7C7784D0A6304837645DBDEF417D21A805CB2C0DD6FE1CE8B52027CEFB97\""), true,
         true},
        {"download without op and digest", File("op=\"0\" sha256=\"" + kDigest + "\"") + File("path=\"x\""),
         true, false},
        {"download without digest, not required", File("op=\"0\" path=\"x\"") + File("op=\"1\" path=\"y\""),
         false, true},
        {"other items need none", File("op=\"1\" path=\"x\"") + File("op=\"4\" path=\"y\""), true, true},
        {"digest of 65 digits", File("op=\"0\" sha256=\"" + kDigest + "0\"") + File("op=\"1\""), false,
         false},
        {"empty digest", File("op=\"0\" sha256=\"\"") + File("op=\"1\""), false, false},
        {"digest as a child element",
         "<File version=\"1\" op=\"0\"><sha256>" + kDigest + "</sha256></File>" + File("op=\"1\""), true,
         true},
    };
    for (const auto& c : cases) {
        const std::string xml = "<Update game=\"7\" url=\"/f/\" version=\"2\">" + c.items + "</Update>";
        CXMLConfig root(L"", nullptr, 0);
        ASSERT_TRUE(root.LoadFromBuffer(xml.data(), static_cast<unsigned>(xml.size()))) << xml;
        EXPECT_EQ(c.ok, DownloadDigestsValid(root.FindNode(L"Update"), c.required)) << c.name;
    }
}

}  // namespace
