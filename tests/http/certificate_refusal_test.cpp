// The reasons a certificate is refused for, from WinInet's error codes, and
// the line each one puts in the Log tab.
#include "http/certificate_refusal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "texts/text_table.h"

namespace tidemark {
namespace {

using R = CertificateRefusal;

TEST(CertificateRefusal, EachCertificateErrorHasItsReasonAndOtherErrorsNone) {
    const std::pair<std::uint32_t, R> cases[] = {
        {12037, R::OutOfDate},          {12038, R::OtherName},   {12044, R::ClientCertificateAsked},
        {12045, R::UntrustedAuthority}, {12057, R::RevocationUnknown}, {12169, R::Unusable},
        {12170, R::Revoked},            {12175, R::Unusable},
    };
    for (const auto& [code, reason] : cases) EXPECT_EQ(certificateRefusalOf(code), reason) << code;
    // Nothing listening, a timeout, no error: not about the certificate.
    for (std::uint32_t code : {0u, 12002u, 12029u, 12030u}) EXPECT_EQ(certificateRefusalOf(code), std::nullopt) << code;
}

TEST(CertificateRefusal, EveryReasonHasItsOwnTextInBothLanguages) {
    std::set<int> ids;
    for (R reason : {R::UntrustedAuthority, R::OtherName, R::OutOfDate, R::Revoked, R::RevocationUnknown,
                     R::ClientCertificateAsked, R::Unusable}) {
        const int id = certificateRefusalText(reason);
        ids.insert(id);
        const auto table = textTable();
        const auto entry = std::find_if(table.begin(), table.end(), [&](const TextEntry& e) { return e.id == id; });
        ASSERT_NE(entry, table.end()) << id;
        EXPECT_FALSE(entry->english.empty() || entry->japanese.empty()) << id;
    }
    EXPECT_EQ(ids.size(), 7u);
}

}  // namespace
}  // namespace tidemark
