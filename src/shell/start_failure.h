#pragma once
// What the player is told when Tidemark cannot start because the language
// list did not come.

#include <optional>
#include <string>

#include "http/certificate_refusal.h"

namespace tidemark {

// The certificate's reason, with a word for the server's operator, when a
// refused certificate is why (an operator's mistake shows first here);
// else the plain connection failure.
std::u16string startFailureText(std::optional<CertificateRefusal> refusal);

}  // namespace tidemark
