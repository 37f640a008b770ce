// Update planning: manifest text and installed version in, the plan out,
// compared as one line per case so that a failure shows the whole plan.
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "UpdatePlan.h"
#include "XMLConfig.h"

using _ServerEngine::CXMLConfig;

namespace {

// "<outcome> url=<base> v=<version> total=<signed total>" and, per item,
// " | <path> op<op> size<signed size>".
std::wstring Describe(const tagUpdatePlan& plan) {
    static const wchar_t* const kOutcomes[] = {L"unusable", L"not newer", L"no items", L"work"};
    std::wstring text = kOutcomes[static_cast<int>(plan.outcome)];
    text += L" url=" + plan.baseUrl + L" v=" + std::to_wstring(plan.manifestVersion) +
            L" total=" + std::to_wstring(static_cast<int64_t>(plan.totalBytes));
    for (const ManifestItem& item : plan.items) {
        text += std::wstring(L" | ") + item.node->GetAttribute(L"path", L"?") + L" op" +
                std::to_wstring(item.op) + L" size" + std::to_wstring(static_cast<int64_t>(item.size));
    }
    return text;
}

struct tagPlanCase {
    const char* what;
    const char* manifest;
    uint64_t installed;
    const wchar_t* plan;
};

const tagPlanCase kCases[] = {
    {"no Update element", R"(<Updates url="u" version="2"/>)", 0, L"unusable url= v=0 total=0"},
    {"url absent", R"(<Update version="2"><File version="2" path="a"/></Update>)", 0,
     L"unusable url= v=0 total=0"},
    {"url empty", R"(<Update url="" version="2"><File version="2" path="a"/></Update>)", 0,
     L"unusable url= v=0 total=0"},
    {"name matched with its case", R"(<update url="u" version="2"><File version="2" path="a"/></update>)", 0,
     L"unusable url= v=0 total=0"},
    {"nested Update, the first in document order",
     R"(<Root><Other/><Update url="http://h/a/" version="2"><File version="2" path="a"/></Update>)"
     R"(<Update url="second" version="9"/></Root>)",
     1, L"work url=http://h/a/ v=2 total=0 | a op0 size0"},
    {"manifest version equal: not newer, whatever its items",
     R"(<Update url="u" version="3"><File version="4" path="a"/></Update>)", 3, L"not newer url=u v=3 total=0"},
    {"manifest version older", R"(<Update url="u" version="2"/>)", 3, L"not newer url=u v=2 total=0"},
    {"manifest version absent reads 0", R"(<Update url="u"><File version="1" path="a"/></Update>)", 0,
     L"not newer url=u v=0 total=0"},
    {"negative versions compare above every positive one",
     R"(<Update url="u" version="-1"><File version="-2" path="a"/><File version="7" path="b"/></Update>)", 7,
     L"work url=u v=18446744073709551615 total=0 | a op0 size0"},
    {"installed -1 is above everything", R"(<Update url="u" version="5"/>)", UINT64_MAX,
     L"not newer url=u v=5 total=0"},
    {"versions saturate at the signed 64-bit limit",
     R"(<Update url="u" version="99999999999999999999"><File version="9223372036854775807" path="a"/>)"
     R"(</Update>)",
     9223372036854775806u, L"work url=u v=9223372036854775807 total=0 | a op0 size0"},
    {"items newer than the installed version, in document order; equal and absent skipped",
     R"(<Update url="u" version="5"><File version="3" path="a" size="10"/><File version="1" path="old"/>)"
     R"(<File path="none"/><File version="2" path="b" op="1"/><File version="5" path="c" size="20"/></Update>)",
     1, L"work url=u v=5 total=30 | a op0 size10 | b op1 size0 | c op0 size20"},
    {"only downloads count; a negative size lowers the total",
     R"(<Update url="u" version="2"><File version="2" path="a" size="100"/>)"
     R"(<File version="2" path="b" op="1" size="50"/><File version="2" path="c" size="-30"/></Update>)",
     0, L"work url=u v=2 total=70 | a op0 size100 | b op1 size50 | c op0 size-30"},
    {"sizes are signed 64-bit: 2 GiB and more, and below -2 GiB",
     R"(<Update url="u" version="2"><File version="2" path="a" size="3000000000"/>)"
     R"(<File version="2" path="b" size="5368709120"/><File version="2" path="c" size="-3000000000"/></Update>)",
     0, L"work url=u v=2 total=5368709120 | a op0 size3000000000 | b op0 size5368709120 | c op0 size-3000000000"},
    {"sizes saturate at the signed 64-bit limits",
     R"(<Update url="u" version="2"><File version="2" path="a" size="99999999999999999999"/>)"
     R"(<File version="2" path="b" size="-99999999999999999999"/></Update>)",
     0, L"work url=u v=2 total=-1 | a op0 size9223372036854775807 | b op0 size-9223372036854775808"},
    {"every value a 32-bit reading gave stays: blanks, sign, digits up to the first other character",
     R"(<Update url="u" version="2"><File version="2" path="a" size=" +12x3"/><File version="2" path="b" size="x"/>)"
     R"(<File version="2" path="c" size="2147483647"/><File version="2" path="d" size="-2147483648"/></Update>)",
     0, L"work url=u v=2 total=11 | a op0 size12 | b op0 size0 | c op0 size2147483647 | d op0 size-2147483648"},
    {"every op read once, like _wtoi; unknown ones are queued as no-ops",
     R"(<Update url="u" version="2"><File version="2" path="a" op="7" size="5"/>)"
     R"(<File version="2" path="b" op=" +2"/><File version="2" path="c" op="3x"/>)"
     R"(<File version="2" path="d" op="4"/><File version="2" path="e" op="4294967296" size="5"/>)"
     R"(<File version="2" path="f" op="-1"/><File version="2" path="g" op="x1" size="5"/></Update>)",
     0, L"work url=u v=2 total=5 | a op-1 size5 | b op2 size0 | c op3 size0 | d op4 size0 | e op-1 size5"
        L" | f op-1 size0 | g op0 size5"},
    {"attributes written as child elements",
     R"(<Update><url>http://h/</url><version>4</version>)"
     R"(<File><version>4</version><op>1</op><path>a</path></File></Update>)",
     0, L"work url=http://h/ v=4 total=0 | a op1 size0"},
    {"a lone empty File is folded into an attribute, so no item",
     R"(<Update url="u" version="2"><File/></Update>)", 0, L"no items url=u v=2 total=0"},
    {"only direct File children of Update",
     R"(<Update url="u" version="2"><file version="2" path="lower"/><Files version="2" path="s"/>)"
     R"(<Group><File version="2" path="deep"/></Group>)"
     R"(<File version="2" path="a"><File version="2" path="inner"/></File></Update>)",
     0, L"work url=u v=2 total=0 | a op0 size0"},
    {"newer manifest without newer items", R"(<Update url="u" version="9"><File version="1" path="a"/></Update>)",
     1, L"no items url=u v=9 total=0"},
};

TEST(UpdatePlanTest, PlansEachManifest) {
    for (const tagPlanCase& c : kCases) {
        CXMLConfig document(L"", nullptr, 0);
        const std::string manifest = c.manifest;
        ASSERT_TRUE(document.LoadFromBuffer(manifest.data(), static_cast<unsigned>(manifest.size()))) << c.what;
        EXPECT_EQ(std::wstring(c.plan), Describe(PlanUpdate(document, c.installed)))
            << c.what << "\ninstalled " << c.installed;
    }
}

TEST(UpdatePlanTest, ItemsAreTheDocumentsOwnElements) {
    CXMLConfig document(L"", nullptr, 0);
    const std::string manifest = R"(<Update url="u" version="2"><File version="2" path="a"/></Update>)";
    ASSERT_TRUE(document.LoadFromBuffer(manifest.data(), static_cast<unsigned>(manifest.size())));
    const tagUpdatePlan plan = PlanUpdate(document, 0);
    ASSERT_EQ(1u, plan.items.size());
    CXMLConfig* const update = document.FindNode(L"Update");
    ASSERT_NE(nullptr, update);
    ASSERT_EQ(1u, update->children->size());
    EXPECT_EQ((*update->children)[0], plan.items[0].node);
}

}  // namespace
