// The choice of a download's form: which patch fits what the path holds,
// the fall back after a failed form, and the forms read from a manifest
// with what each path holds followed through the run's items.
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "DownloadForm.h"
#include "UpdatePlan.h"
#include "XMLConfig.h"

using _ServerEngine::CXMLConfig;

namespace {

const unsigned kPatchFailed = FormBit(FormKind::kPatch);
const unsigned kZstdFailed = FormBit(FormKind::kZstd);

tagDownloadForm Form(FormKind kind, uint64_t size, uint8_t base = 0, uint64_t since = 0, uint64_t until = 0) {
    tagDownloadForm form;
    form.kind = kind;
    form.size = size;
    std::fill(form.base, form.base + 32, base);
    form.since = since;
    form.until = until;
    return form;
}

tagBaseState Known(uint8_t digest) {
    tagBaseState state;
    state.how = tagBaseState::How::kKnown;
    std::fill(state.digest, state.digest + 32, digest);
    return state;
}

struct tagChoiceCase {
    const char* what;
    uint64_t installed;
    tagBaseState base;
    unsigned failed;
    bool rawPartial;
    size_t expected;
};

TEST(DownloadFormTest, ChoosesTheCheapestUsableForm) {
    // raw 1000; compressed 400; patches from content 1 (versions 1-2, 30
    // bytes) and content 2 (versions 2-4, 20 bytes).
    const std::vector<tagDownloadForm> forms = {Form(FormKind::kRaw, 1000), Form(FormKind::kZstd, 400),
                                                Form(FormKind::kPatch, 30, 1, 1, 2),
                                                Form(FormKind::kPatch, 20, 2, 2, 4)};
    const tagBaseState unknown = {tagBaseState::How::kUnknown, {}};
    const tagChoiceCase cases[] = {
        {"fresh install: compressed", 0, {}, 0, false, 1},
        {"installed 1: the patch from content 1", 1, {}, 0, false, 2},
        {"installed 2: the patch from content 2", 2, {}, 0, false, 3},
        {"installed 3: still content 2", 3, {}, 0, false, 3},
        {"installed 4: past every range", 4, {}, 0, false, 1},
        {"an earlier item put content 1 there", 3, Known(1), 0, false, 2},
        {"an earlier item put another content there", 1, Known(9), 0, false, 1},
        {"deleted or moved in earlier: unknown", 1, unknown, 0, false, 1},
        {"the patch failed: compressed", 2, {}, kPatchFailed, false, 1},
        {"compressed failed too: raw", 2, {}, kPatchFailed | kZstdFailed, false, 0},
        {"compressed failed, a patch fits", 2, {}, kZstdFailed, false, 3},
        {"a raw partial file goes on as raw", 2, {}, 0, true, 0},
    };
    for (const tagChoiceCase& test : cases) {
        EXPECT_EQ(test.expected, ChooseForm(forms, test.installed, test.base, test.failed, test.rawPartial))
            << test.what;
    }
    // A compressed file larger than the raw one is not taken.
    EXPECT_EQ(0u, ChooseForm({Form(FormKind::kRaw, 10), Form(FormKind::kZstd, 12)}, 0, {}, 0, false));
}

TEST(DownloadFormTest, LargestBodyCoversTheFallbacks) {
    const std::vector<tagDownloadForm> forms = {Form(FormKind::kRaw, 1000), Form(FormKind::kZstd, 400),
                                                Form(FormKind::kPatch, 30), Form(FormKind::kPatch, 500)};
    const struct {
        const char* what;
        std::vector<tagDownloadForm> forms;
        size_t chosen;
        uint64_t expected;
    } cases[] = {
        {"raw: no body", forms, 0, 0},
        {"compressed: its own size", forms, 1, 400},
        {"a small patch may fall back to the compressed file", forms, 2, 400},
        {"a patch larger than the compressed file", forms, 3, 500},
        {"a patch without a compressed file", {Form(FormKind::kRaw, 1000), Form(FormKind::kPatch, 30)}, 1, 30},
        {"no forms read", {}, 0, 0},
    };
    for (const auto& test : cases) EXPECT_EQ(test.expected, LargestBody(test.forms, test.chosen)) << test.what;
}

const std::string kSha1(64, '1');
const std::string kSha2(64, '2');
const std::string kSha3(64, '3');
const std::string kShaF(64, 'f');

std::string Download(const char* version, const char* path, const std::string& sha, const std::string& extra) {
    return std::string("<File version=\"") + version + "\" op=\"0\" path=\"" + path +
           "\" fname=\"raw\" size=\"1000\" sha256=\"" + sha + "\" " + extra + "/>";
}

struct tagAssignCase {
    const char* what;
    std::string items;
    uint64_t installed;
    const wchar_t* chosen;  // fname per download
    uint64_t total;
};

TEST(DownloadFormTest, AssignsFormsAlongTheRun) {
    const std::string zstd = "zstd=\"z 400 " + kShaF + "\"";
    // A patch from content 1, what the path held at versions 1 and 2.
    const std::string patch = "patch=\"" + kSha1 + " 1 3 p 30 " + kShaF + "\"";
    const tagAssignCase cases[] = {
        {"raw only, as before", Download("3", "a", kSha3, ""), 1, L"raw", 1000},
        {"without a digest nothing else is taken",
         "<File version=\"3\" op=\"0\" path=\"a\" fname=\"raw\" size=\"1000\" " + zstd + "/>", 1, L"raw", 1000},
        {"patch for an installed base", Download("3", "a", kSha3, zstd + " " + patch), 2, L"p", 30},
        {"unreadable forms are skipped",
         Download("3", "a", kSha3, "zstd=\"z 400\" patch=\"" + kSha1 + " 1 3 p x " + kShaF + "\""), 2, L"raw",
         1000},
        {"an earlier download of the path in the run is the base",
         Download("2", "a", kSha1, zstd) + Download("3", "a", kSha3, zstd + " " + patch), 0, L"z p", 430},
        {"an earlier download of another content",
         Download("2", "a", kSha2, "") + Download("3", "A", kSha3, zstd + " " + patch), 1, L"raw z", 1400},
        {"deleted earlier in the run",
         "<File version=\"3\" op=\"1\" path=\"a\"/>" + Download("3", "a", kSha3, zstd + " " + patch), 2, L"z", 400},
        {"moved in from a path downloaded in the run",
         Download("3", "b", kSha1, "") + "<File version=\"3\" op=\"2\" src=\"b\" des=\"a\"/>" +
             Download("3", "a", kSha3, zstd + " " + patch),
         0, L"raw p", 1030},
        {"moved in from a path of unknown content",
         "<File version=\"3\" op=\"2\" src=\"b\" des=\"a\"/>" + Download("3", "a", kSha3, zstd + " " + patch), 2,
         L"z", 400},
    };
    for (const tagAssignCase& test : cases) {
        const std::string text = "<Update url=\"u\" version=\"3\">" + test.items + "</Update>";
        CXMLConfig document(L"", nullptr, 0);
        ASSERT_TRUE(document.LoadFromBuffer(text.data(), static_cast<unsigned>(text.size()))) << test.what;
        tagUpdatePlan plan = PlanUpdate(document, test.installed);
        const uint64_t total = AssignForms(plan.items, test.installed, [](const std::wstring&) { return false; });
        std::wstring chosen;
        for (const ManifestItem& item : plan.items) {
            if (item.op != OpDownload) continue;
            if (!chosen.empty()) chosen += L" ";
            chosen += item.forms[item.form].fname;
        }
        EXPECT_EQ(std::wstring(test.chosen), chosen) << test.what;
        EXPECT_EQ(test.total, total) << test.what;
    }
}

}  // namespace
