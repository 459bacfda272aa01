#pragma once
// Why a secure connection was refused over the server's certificate, from
// the client's error code, so that the player is told more than "the
// connection failed" when the server cannot be trusted.

#include <cstdint>
#include <optional>

namespace tidemark {

enum class CertificateRefusal {
    UntrustedAuthority,  // not issued by an authority the system trusts
    OtherName,           // issued for another name than the server's
    OutOfDate,           // expired, or not valid yet
    Revoked,
    // Whether it was revoked could not be checked. Wine's WinInet reports a
    // certificate from an unknown authority so too (it checks revocation
    // last), so the text names both.
    RevocationUnknown,
    ClientCertificateAsked,
    Unusable,            // malformed, or the secure channel failed
};

// The refusal an error code of WinInet (12xxx) stands for; nothing for an
// error that is not about the certificate.
std::optional<CertificateRefusal> certificateRefusalOf(std::uint32_t winInetError);

// The text id of the Log tab's line for the refusal.
int certificateRefusalText(CertificateRefusal refusal);

}  // namespace tidemark
