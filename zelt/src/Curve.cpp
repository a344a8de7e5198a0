#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zmq.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <zelt/Curve.hpp>
#include <zelt/Fd.hpp>
#include <zelt/Value.hpp>

namespace zelt {

namespace {

bool is_z85_key(const std::string& key) {
    std::uint8_t decoded[32];
    return key.size() == 40 && zmq_z85_decode(decoded, key.c_str()) != nullptr;
}

std::string quoted_path(const std::string& path) { return "\"" + printable(path, 512) + "\""; }

// A certificate is a few hundred bytes; anything much larger is no certificate.
constexpr std::size_t max_certificate_bytes = 16 * 1024;

// The keys of ZeroMQ's certificate text: lines `public-key = "..."` and `secret-key = "..."`,
// read in one pass, without a regular expression.
CurveKeys parse_certificate(const std::string& content) {
    CurveKeys keys;
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        std::string_view line(content.data() + start, end - start);
        start = end + 1;
        const auto skip_blanks = [&line] {
            while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
                line.remove_prefix(1);
            }
        };
        skip_blanks();
        std::string* key = nullptr;
        for (const auto& [name, into] :
             {std::pair<std::string_view, std::string*>{"public-key", &keys.public_key},
              {"secret-key", &keys.secret_key}}) {
            if (line.substr(0, name.size()) == name) {
                line.remove_prefix(name.size());
                key = into;
            }
        }
        if (!key) continue;
        skip_blanks();
        if (line.empty() || line.front() != '=') continue;
        line.remove_prefix(1);
        skip_blanks();
        if (line.empty() || line.front() != '"') continue;
        line.remove_prefix(1);
        const std::size_t quote = line.find('"');
        if (quote == std::string_view::npos) continue;
        *key = std::string(line.substr(0, quote));
    }
    return keys;
}

}  // namespace

CurveKeys read_curve_certificate(const std::string& path, bool need_secret) {
    // Non-blocking and checked first: a FIFO at the name must not hold the start in open().
    const Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    const bool opened = fd && ::fstat(fd.get(), &info) == 0;
    if (!opened || !S_ISREG(info.st_mode) ||
        static_cast<std::uint64_t>(info.st_size) > max_certificate_bytes) {
        const std::string why = !opened ? std::strerror(errno)
                                : !S_ISREG(info.st_mode)
                                    ? "not a regular file"
                                    : std::to_string(info.st_size) +
                                          " bytes, more than a certificate's " +
                                          std::to_string(max_certificate_bytes);
        throw Error("CURVE certificate " + quoted_path(path) + ": " + why);
    }
    // One byte more than the most: a file that grew since is refused, not cut.
    std::string content(max_certificate_bytes + 1, '\0');
    const ssize_t got = ::read(fd.get(), content.data(), content.size());
    if (got < 0 || static_cast<std::size_t>(got) > max_certificate_bytes) {
        throw Error("CURVE certificate " + quoted_path(path) + ": " +
                    (got < 0 ? std::strerror(errno) : "it grew while it was read"));
    }
    content.resize(static_cast<std::size_t>(got));
    const CurveKeys keys = parse_certificate(content);
    for (const auto& [what, key] :
         {std::pair<const char*, const std::string&>{"public", keys.public_key},
          {"secret", keys.secret_key}}) {
        if (key.empty() && (std::strcmp(what, "public") == 0 || need_secret)) {
            throw Error("CURVE certificate " + quoted_path(path) + ": no " + what +
                        "-key = \"...\" in it");
        }
        if (!key.empty() && !is_z85_key(key)) {
            throw Error("CURVE certificate " + quoted_path(path) + ": its " + what +
                        " key is not 40 characters of Z85");
        }
    }
    return keys;
}

std::vector<std::string> read_curve_directory(const std::string& directory,
                                              std::vector<std::string>* skipped) {
    struct stat info {};
    if (::stat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        throw Error("CURVE clients directory " + quoted_path(directory) + ": " +
                    (errno ? std::strerror(errno) : "not a directory"));
    }
    const bool owner_trusted = info.st_uid == 0 || info.st_uid == ::geteuid();
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 || !owner_trusted) {
        throw Error("CURVE clients directory " + quoted_path(directory) +
                    ": others may write it, and so allow themselves; make it the service "
                    "user's, mode 0755 or stricter");
    }
    std::vector<std::string> keys;
    for (const auto& file : std::filesystem::directory_iterator(directory)) {
        const std::string name = file.path().filename();
        if (name.empty() || name[0] == '.' || !file.is_regular_file()) continue;
        try {
            keys.push_back(read_curve_certificate(file.path(), false).public_key);
        } catch (const Error& error) {
            if (!skipped) throw;
            skipped->push_back(error.what());
        }
    }
    return keys;
}

void use_client_curve(const storageParser& config, WorkerOptions& options) {
    const std::string server_key = config.get_or("client", "curve_server_key", "");
    const std::string key_file = config.get_or("client", "curve_secret_key_file", "");
    if (server_key.empty() && key_file.empty()) return;
    if (server_key.empty() || key_file.empty()) {
        throw Error("configuration " + config.source() +
                    ": CURVE needs both [client] curve_server_key and curve_secret_key_file");
    }
    if (!is_z85_key(server_key)) {
        throw Error("configuration " + config.source() +
                    ": [client] curve_server_key is not 40 characters of Z85");
    }
    const CurveKeys mine = read_curve_certificate(key_file, true);
    options.curve_server_key = server_key;
    options.curve_public_key = mine.public_key;
    options.curve_secret_key = mine.secret_key;
}

CurveKeys new_curve_keys() {
    char public_key[41];
    char secret_key[41];
    if (zmq_curve_keypair(public_key, secret_key) != 0) {
        throw Error(std::string("CURVE key pair: ") + zmq_strerror(zmq_errno()));
    }
    return {public_key, secret_key};
}

void write_curve_certificates(const std::string& path, const CurveKeys& keys) {
    const auto write = [](const std::string& file, const std::string& text, mode_t mode) {
        Fd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
        if (!fd) throw Error("write " + quoted_path(file) + ": " + std::strerror(errno));
        const bool whole =
            ::write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
            ::close(fd.release()) == 0;
        if (!whole) throw Error("write " + quoted_path(file) + ": " + std::strerror(errno));
    };
    const std::string header = "#   ZeroMQ CURVE certificate, made by brennic-send --keygen\n";
    write(path + ".pub",
          header +
              "#   Public: give it to the service's curve_clients_dir.\n\nmetadata\ncurve\n"
              "    public-key = \"" +
              keys.public_key + "\"\n",
          0644);
    write(path,
          header + "#   Secret: keep it to yourself.\n\nmetadata\ncurve\n    public-key = \"" +
              keys.public_key + "\"\n    secret-key = \"" + keys.secret_key + "\"\n",
          0600);
}

}  // namespace zelt
