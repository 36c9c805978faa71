// HTTPS as a host meets it. nginx (scripts/tls-server.sh) passes requests on
// to the scripted server, once per certificate: one for localhost from an
// authority that this program trusts in the Wine prefix while it runs, one
// for another name, an expired one and one from an authority nobody trusts.
#include "tests/api/ExportFixture.h"

#include <wincrypt.h>

#include <memory>

using namespace korvel::test;

namespace {

const wchar_t kAuthorityName[] = L"korvel test CA";

ServerFolder TlsFolder(const wchar_t* portFile)
{
    return FindServerFolder(L"KORVEL_TLS_SERVER_DIR", portFile);
}

// The machine's Root store; changes reach the registry, and so the other
// users of the store, when it is committed at its close.
struct CommitAndClose {
    void operator()(HCERTSTORE store) const
    {
        CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
        CertCloseStore(store, 0);
    }
};
using RootStore = std::unique_ptr<void, CommitAndClose>;

RootStore OpenRootStore()
{
    return RootStore(
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root"));
}

// Also the authority of an earlier run that stopped before removing it.
void RemoveAuthority(const RootStore& root)
{
    for (int i = 0; i < 100; ++i) {
        PCCERT_CONTEXT old = CertFindCertificateInStore(
            root.get(), X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_W, kAuthorityName, nullptr);
        if (old == nullptr)
            return;
        CertDeleteCertificateFromStore(old);
    }
}

// The test authority is trusted the way a machine trusts one, in the local
// machine's Root store (of the tests' Wine prefix), for the run of this program.
class TrustedAuthority : public testing::Environment {
public:
    void SetUp() override
    {
        const std::optional<std::string> der =
            ReadWholeFile(TlsFolder(L"port-localhost").path + L"\\certs\\ca.der");
        ASSERT_TRUE(der.has_value()) << "the HTTPS fixture made no authority";
        const RootStore root = OpenRootStore();
        ASSERT_TRUE(root);
        RemoveAuthority(root);
        ASSERT_TRUE(CertAddEncodedCertificateToStore(
            root.get(), X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der->data()),
            static_cast<DWORD>(der->size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
            << GetLastError();
    }
    void TearDown() override { RemoveAuthority(OpenRootStore()); }
};

[[maybe_unused]] testing::Environment* const kTrust =
    testing::AddGlobalTestEnvironment(new TrustedAuthority);

std::wstring HttpsUrl(const wchar_t* portFile, const std::wstring& script,
                      const std::wstring& tail = L"file")
{
    return L"https://localhost:" + std::to_wstring(TlsFolder(portFile).port) + L"/s/" + script +
           L"/" + tail;
}

// A refused certificate ends a call before any request is sent, without a wait.
constexpr DWORD kRefusalMs = 5000;

using SecureExports = ExportFixture;

} // namespace

TEST_F(SecureExports, QueryAndBothDownloadsOverHttps)
{
    SetFlags(1);
    const std::string queryTag = ScriptedServer::UniqueTag("tls-query");
    PointPipelineAt(
        HttpsUrl(L"port-localhost", PipelineScript(queryTag, kOkPacket), L"lumq/pipeline"));
    EXPECT_EQ(Query(), 0u);
    EXPECT_EQ(QueryResult(), kOkPacket);
    EXPECT_EQ(Server().RecordedBody(queryTag).value_or("").substr(0, 2), "\xFF\xFE")
        << "the packet crossed TLS as UTF-16 with its byte-order mark";

    const std::string packageTag = ScriptedServer::UniqueTag("tls-package");
    EXPECT_EQ(Download(HttpsUrl(L"port-localhost", Tagged(packageTag, L"size=300000"))),
              kStatusNotRunning);
    EXPECT_EQ(Server().RecordCount(packageTag), 1);

    const std::wstring target = TempTarget("tls.bin");
    EXPECT_EQ(DownloadToFile(HttpsUrl(L"port-localhost", L"size=3000000"), target),
              kStatusTransferComplete);
    EXPECT_EQ(ScriptedServer::DescribePatternMismatch(target, 3000000), "");
    std::filesystem::remove(target);
}

TEST_F(SecureExports, RefusedCertificatesFailAtOnce)
{
    const struct {
        const wchar_t* server;
        uint32_t post;
        uint32_t get;
    } rows[] = {
        {L"port-wrong-name", kStatusCertNameInvalid, kStatusCertNameInvalid},
        {L"port-expired", kStatusCertDateInvalid, kStatusCertDateInvalid},
        // Neither the authority nor its revocation can be checked: the send
        // fails with an error of no class of its own.
        {L"port-untrusted", kStatusSendFailed, kStatusServerUnreachable},
    };
    SetFlags(1);
    const std::wstring target = TempTarget("tls-refused.bin");
    for (const auto& row : rows) {
        SCOPED_TRACE(Narrow(row.server));
        const std::string tag = ScriptedServer::UniqueTag("tls-refused");
        PointPipelineAt(HttpsUrl(row.server, PipelineScript(tag, ResponsePacket("<status/>")),
                                 L"lumq/pipeline"));
        const std::wstring url = HttpsUrl(row.server, Tagged(tag, L"size=10"));
        const TimedStatus outcomes[] = {
            Timed([&] { return Query(); }),
            Timed([&] { return Download(url); }),
            Timed([&] { return DownloadToFile(url, target); }),
        };
        const uint32_t expected[] = {row.post, row.get, row.get};
        for (size_t i = 0; i < std::size(outcomes); ++i) {
            EXPECT_EQ(outcomes[i].status, expected[i]) << "call " << i << std::hex;
            EXPECT_LT(outcomes[i].ms, kRefusalMs) << "call " << i;
        }
        EXPECT_EQ(Server().RecordCount(tag), 0) << "no request got through";
        EXPECT_FALSE(std::filesystem::exists(target)) << "a refused transfer creates no file";
    }
}
