#include "base/WsStatus.h"
#include "packet/WsXmlDocument.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

namespace korvel {
namespace {

constexpr int kCases = 4000;
constexpr int kMaxMutationsPerCase = 4;

const std::string kResponse =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
    "<packet xmlns=\"http://schemas.example/Schemas/RHO/2.0\" schemaVersion=\"2.0\">\r\n"
    "\t<header>\r\n"
    "\t\t<date>2024-05-01T10:00:00Z</date>\r\n"
    "\t\t<server><status code=\"0\">OK &amp; done</status></server>\r\n"
    "\t\t<client><swapp version=\"2.1\">HostApp</swapp></client>\r\n"
    "\t</header>\r\n"
    "\t<body><results count=\"1\"><entry id=\"7\"><![CDATA[a<b]]></entry><!-- x --></results>"
    "</body>\r\n"
    "</packet>\r\n";

// One random change: flip a bit, insert or delete a byte, truncate, or copy
// a tag of the original response to a random place.
void Mutate(std::string& bytes, std::mt19937& random)
{
    const auto pick = [&](size_t limit) {
        return std::uniform_int_distribution<size_t>(0, limit)(random);
    };
    const size_t at = pick(bytes.size());
    const size_t kind = pick(4);
    if (kind == 0 && at < bytes.size()) {
        bytes[at] = static_cast<char>(bytes[at] ^ (1 << pick(7)));
    } else if (kind == 1) {
        bytes.insert(at, 1, static_cast<char>(pick(255)));
    } else if (kind == 2 && at < bytes.size()) {
        bytes.erase(at, 1);
    } else if (kind == 3) {
        bytes.resize(at);
    } else if (kind == 4) {
        const size_t open = kResponse.find('<', pick(kResponse.size() - 1));
        if (open != std::string::npos)
            bytes.insert(at, kResponse.substr(open, kResponse.find('>', open) + 1 - open));
    }
}

TEST(XmlFuzzTest, MutatedResponsesParseOrFailWithAnXmlStatus)
{
    std::mt19937 random(20240501);
    std::map<uint32_t, int> outcomes;
    for (int round = 0; round < kCases; ++round) {
        std::string bytes = kResponse;
        const int mutations = std::uniform_int_distribution<int>(1, kMaxMutationsPerCase)(random);
        for (int mutation = 0; mutation < mutations; ++mutation)
            Mutate(bytes, random);
        WsXmlDocument document;
        uint32_t status = kStatusSuccess;
        try {
            document.Parse(bytes);
            document.ToString(true, true);
        } catch (WsStatus raised) {
            status = raised;
        } catch (...) {
            ADD_FAILURE() << "unexpected exception in round " << round;
        }
        ++outcomes[status];
        EXPECT_TRUE(status == kStatusSuccess || status == kStatusXmlParseFailed ||
                    status == kStatusXmlNoRoot)
            << std::hex << status << " in round " << std::dec << round;
        EXPECT_EQ(document.IsValid(), status == kStatusSuccess) << round;
        EXPECT_EQ(bool(document.Root()), status == kStatusSuccess) << round;
    }
    // Every outcome must occur, or the mutations are too tame to mean much.
    EXPECT_GT(outcomes[kStatusSuccess], 0);
    EXPECT_GT(outcomes[kStatusXmlParseFailed], 0);
    EXPECT_GT(outcomes[kStatusXmlNoRoot], 0);
}

} // namespace
} // namespace korvel
