#pragma once

#include <string>
#include <vector>
#include <zelt/Worker.hpp>
#include <zelt/storageParser.hpp>

namespace zelt {

// A CURVE key pair in Z85 text (40 characters each); `secret` is empty for a public
// certificate.
struct CurveKeys {
    std::string public_key;
    std::string secret_key;
};

// Reads a certificate in ZeroMQ's format ("public-key = "..."" and, in a secret
// certificate, "secret-key = "...""). Throws zelt::Error naming the file when it is missing,
// unreadable, or holds no key of 40 Z85 characters; with `need_secret`, also without a secret
// key.
CurveKeys read_curve_certificate(const std::string& path, bool need_secret);

// The public keys of the certificates in `directory`, one file each (hidden files and
// directories skipped). Throws zelt::Error naming the directory when others than its owner,
// root or the current user may write it, or naming a file that holds no key; given
// `skipped`, such a file is skipped instead, and its error added there.
std::vector<std::string> read_curve_directory(const std::string& directory,
                                              std::vector<std::string>* skipped = nullptr);

// Sets up a client's CURVE in `options` from [client] curve_server_key (the service's public
// key) and curve_secret_key_file (this client's key pair); nothing when neither is set.
// Throws zelt::Error naming the entry or file that cannot be used.
void use_client_curve(const storageParser& config, WorkerOptions& options);

// A new key pair.
CurveKeys new_curve_keys();

// Writes `keys` as a secret certificate at `path` (mode 0600) and its public certificate at
// `path` + ".pub". Throws zelt::Error naming the file.
void write_curve_certificates(const std::string& path, const CurveKeys& keys);

}  // namespace zelt
