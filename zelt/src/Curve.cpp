#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zmq.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <regex>
#include <zelt/Curve.hpp>
#include <zelt/Value.hpp>

namespace zelt {

namespace {

bool is_z85_key(const std::string& key) {
    std::uint8_t decoded[32];
    return key.size() == 40 && zmq_z85_decode(decoded, key.c_str()) != nullptr;
}

std::string quoted_path(const std::string& path) { return "\"" + printable(path, 512) + "\""; }

}  // namespace

CurveKeys read_curve_certificate(const std::string& path, bool need_secret) {
    // Non-blocking and checked first: a FIFO at the name must not hold the start in open().
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        const std::string why = fd < 0 ? std::strerror(errno) : "not a regular file";
        if (fd >= 0) ::close(fd);
        throw Error("CURVE certificate " + quoted_path(path) + ": " + why);
    }
    std::string content(64 * 1024, '\0');
    const ssize_t got = ::read(fd, content.data(), content.size());
    ::close(fd);
    content.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    CurveKeys keys;
    const std::regex entry(R"re((public|secret)-key\s*=\s*"([^"]*)")re");
    for (auto it = std::sregex_iterator(content.begin(), content.end(), entry);
         it != std::sregex_iterator(); ++it) {
        ((*it)[1] == "public" ? keys.public_key : keys.secret_key) = (*it)[2];
    }
    for (const auto& [what, key] : {std::pair<const char*, const std::string&>{"public", keys.public_key},
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

std::vector<std::string> read_curve_directory(const std::string& directory) {
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
        keys.push_back(read_curve_certificate(file.path(), false).public_key);
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
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd < 0) throw Error("write " + quoted_path(file) + ": " + std::strerror(errno));
        const bool whole = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        ::close(fd);
        if (!whole) throw Error("write " + quoted_path(file) + ": " + std::strerror(errno));
    };
    const std::string header = "#   ZeroMQ CURVE certificate, made by brennic-send --keygen\n";
    write(path + ".pub",
          header + "#   Public: give it to the service's curve_clients_dir.\n\nmetadata\ncurve\n"
                   "    public-key = \"" + keys.public_key + "\"\n",
          0644);
    write(path,
          header + "#   Secret: keep it to yourself.\n\nmetadata\ncurve\n    public-key = \"" +
              keys.public_key + "\"\n    secret-key = \"" + keys.secret_key + "\"\n",
          0600);
}

}  // namespace zelt
