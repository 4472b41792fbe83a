// A self-signed certificate for the simulator's HTTPS listener, made at start so that nothing
// secret is kept in the source tree.
#pragma once

#include <string>

namespace fcsim {

// Writes a fresh RSA key and a certificate for 127.0.0.1 / localhost (valid for 30 days,
// usable as its own CA) to the two paths. The key file is readable by the owner only.
bool GenerateSelfSignedCert(const std::string& certPath, const std::string& keyPath,
                            std::string& err);

}  // namespace fcsim
