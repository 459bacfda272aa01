#include "shell/start_failure.h"

#include "texts/texts.h"

namespace tidemark {

std::u16string startFailureText(std::optional<CertificateRefusal> refusal) {
    if (!refusal) return LoadTextW(kTextConnectionFailed);
    return LoadTextW(kTextStartCertificateRefused) + u"\n\n" + LoadTextW(certificateRefusalText(*refusal));
}

}  // namespace tidemark
