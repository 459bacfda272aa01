#include "http/certificate_refusal.h"

#include "texts/texts.h"

namespace tidemark {

std::optional<CertificateRefusal> certificateRefusalOf(std::uint32_t winInetError) {
    switch (winInetError) {
    case 12045: return CertificateRefusal::UntrustedAuthority;  // ERROR_INTERNET_INVALID_CA
    case 12038: return CertificateRefusal::OtherName;           // ERROR_INTERNET_SEC_CERT_CN_INVALID
    case 12037: return CertificateRefusal::OutOfDate;           // ERROR_INTERNET_SEC_CERT_DATE_INVALID
    case 12170: return CertificateRefusal::Revoked;             // ERROR_INTERNET_SEC_CERT_REVOKED
    case 12056:                                                 // ERROR_INTERNET_SEC_CERT_NO_REV
    case 12057: return CertificateRefusal::RevocationUnknown;   // ERROR_INTERNET_SEC_CERT_REV_FAILED
    case 12044:                                                 // ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED
    case 12046: return CertificateRefusal::ClientCertificateAsked;  // ERROR_INTERNET_CLIENT_AUTH_NOT_SETUP
    case 12055:                                                 // ERROR_INTERNET_SEC_CERT_ERRORS
    case 12157:                                                 // ERROR_INTERNET_SECURITY_CHANNEL_ERROR
    case 12169:                                                 // ERROR_INTERNET_SEC_INVALID_CERT
    case 12175: return CertificateRefusal::Unusable;            // ERROR_INTERNET_DECODING_FAILED
    default: return std::nullopt;
    }
}

int certificateRefusalText(CertificateRefusal refusal) {
    switch (refusal) {
    case CertificateRefusal::UntrustedAuthority: return kTextCertificateUntrusted;
    case CertificateRefusal::OtherName: return kTextCertificateOtherName;
    case CertificateRefusal::OutOfDate: return kTextCertificateOutOfDate;
    case CertificateRefusal::Revoked: return kTextCertificateRevoked;
    case CertificateRefusal::RevocationUnknown: return kTextCertificateRevocationUnknown;
    case CertificateRefusal::ClientCertificateAsked: return kTextCertificateClientAsked;
    case CertificateRefusal::Unusable: break;
    }
    return kTextCertificateUnusable;
}

}  // namespace tidemark
