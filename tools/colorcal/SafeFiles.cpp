#include "SafeFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "CommandLine.h"
#include "Messages.h"

namespace ColorCalCli {

namespace fs = std::filesystem;

namespace {

/// Closes a file descriptor when it goes out of scope.
class Descriptor {
  public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    int get() const { return m_fd; }

  private:
    int m_fd;
};

/// Why a file cannot be opened, in the words of the tool's messages.
std::string openFailure(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return "no such file";
        case EACCES:
        case EPERM:
            return "permission denied";
        case ELOOP:
            return "too many levels of symbolic links";
        case ENAMETOOLONG:
            return "the name is too long";
        default:
            return std::generic_category().message(error);
    }
}

/// Why a file of this kind is no input; empty for a regular file.
std::string kindFailure(mode_t mode) {
    if (S_ISREG(mode)) {
        return {};
    }
    if (S_ISDIR(mode)) {
        return "it is a directory";
    }
    if (S_ISFIFO(mode)) {
        return "it is not a regular file (a pipe)";
    }
    if (S_ISCHR(mode) || S_ISBLK(mode)) {
        return "it is not a regular file (a device)";
    }
    return "it is not a regular file";
}

/// An empty file created next to the target, removed again unless committed.
class TemporaryFile {
  public:
    TemporaryFile(const fs::path& target, const std::string& fail) {
        const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
        std::string extension = target.extension().string();
        if (extension.size() > 16) {
            extension.clear();
        }
        const auto nonce = static_cast<unsigned long long>(
            std::chrono::steady_clock::now().time_since_epoch().count());
        for (unsigned attempt = 0; attempt < 32; ++attempt) {
            const fs::path candidate =
                folder / (".colorcal-" + std::to_string(::getpid()) + "-" +
                          std::to_string((nonce + attempt * 7919u) % 1000000007u) + extension);
            // Mode 0666 lets the umask decide the permissions, as for any new file.
            const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0) {
                ::close(fd);
                m_path = candidate;
                return;
            }
            if (errno != EEXIST) {
                throw UsageError(fail + openFailure(errno) + " (in its folder)");
            }
        }
        throw UsageError(fail + "no temporary file could be created in its folder");
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        if (!m_path.empty()) {
            std::error_code ignored;
            fs::remove(m_path, ignored);
        }
    }
    const fs::path& path() const { return m_path; }
    /// Renames the file onto `target`; false (and the file kept for removal) on failure.
    bool commit(const fs::path& target) {
        std::error_code error;
        fs::rename(m_path, target, error);
        if (error) {
            return false;
        }
        m_path.clear();
        return true;
    }

  private:
    fs::path m_path;
};

/// The place a path names: links, "." and ".." resolved as far as the path exists.
fs::path resolvedPlace(const std::string& path) {
    std::error_code error;
    fs::path place = fs::weakly_canonical(fs::path(path), error);
    if (error) {
        place = fs::absolute(fs::path(path), error).lexically_normal();
    }
    return place;
}

}  // namespace

bool sameFile(const std::string& a, const std::string& b) {
    std::error_code errorA;
    std::error_code errorB;
    const bool existsA = fs::exists(a, errorA);
    const bool existsB = fs::exists(b, errorB);
    if (existsA && existsB) {
        std::error_code error;
        const bool same = fs::equivalent(a, b, error);
        if (!error) {
            return same;
        }
    } else if (existsA != existsB && !errorA && !errorB) {
        return false;  // one exists, the other does not: two files
    }
    return resolvedPlace(a) == resolvedPlace(b);
}

void requireUsableOutputs(const std::vector<NamedFile>& inputs,
                          const std::vector<NamedFile>& outputs) {
    const auto clash = [](const NamedFile& a, const NamedFile& b) {
        return UsageError(a.option + " " + quoteName(a.path) + " and " + b.option + " " +
                          quoteName(b.path) + " are the same file");
    };
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        const NamedFile& out = outputs[i];
        if (out.path.empty()) {
            continue;
        }
        for (const NamedFile& in : inputs) {
            if (!in.path.empty() && sameFile(out.path, in.path)) {
                throw clash(out, in);
            }
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (!outputs[j].path.empty() && sameFile(out.path, outputs[j].path)) {
                throw clash(outputs[j], out);
            }
        }
        const std::string fail = "cannot write " + out.option + " " + quoteName(out.path) + ": ";
        std::error_code error;
        if (fs::is_directory(out.path, error)) {
            throw UsageError(fail + "it is a directory");
        }
        const fs::path target(out.path);
        const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
        if (!fs::is_directory(folder, error)) {
            throw UsageError(fail + "the folder " + quoteName(folder.string()) + " does not exist");
        }
    }
}

void useRegularFile(const std::string& path, std::string_view what,
                    const std::function<void(int fd, std::uint64_t size)>& use) {
    const std::string fail = "cannot read the " + std::string(what) + " " + quoteName(path) + ": ";
    // The kind is checked before opening: opening a device or a pipe can block or act.
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        throw UsageError(fail + openFailure(errno));
    }
    if (const std::string kind = kindFailure(info.st_mode); !kind.empty()) {
        throw UsageError(fail + kind);
    }
    // Non-blocking and checked again: the path may have been replaced meanwhile.
    const Descriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.get() < 0) {
        throw UsageError(fail + openFailure(errno));
    }
    if (::fstat(file.get(), &info) != 0) {
        throw UsageError(fail + openFailure(errno));
    }
    if (const std::string kind = kindFailure(info.st_mode); !kind.empty()) {
        throw UsageError(fail + kind);
    }
    use(file.get(), static_cast<std::uint64_t>(info.st_size));
}

std::size_t readAt(int fd, std::uint64_t offset, unsigned char* out, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::pread(fd, out + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

std::string readSmallFile(const std::string& path, std::string_view what, std::size_t maxBytes) {
    std::string content;
    useRegularFile(path, what, [&](int fd, std::uint64_t size) {
        const auto tooLarge = [&](std::uint64_t bytes) {
            return UsageError("cannot read the " + std::string(what) + " " + quoteName(path) +
                              ": it is " + std::to_string(bytes) + " bytes, over the limit of " +
                              std::to_string(maxBytes) + " bytes");
        };
        if (size > maxBytes) {
            throw tooLarge(size);
        }
        // One byte more than allowed tells a file that grew since its size was read.
        content.resize(maxBytes + 1);
        const std::size_t got =
            readAt(fd, 0, reinterpret_cast<unsigned char*>(content.data()), content.size());
        if (got > maxBytes) {
            throw tooLarge(got);
        }
        content.resize(got);
    });
    return content;
}

void writeOutputFile(const std::string& path, std::string_view what,
                     const std::function<bool(const std::string& writePath)>& write) {
    const std::string fail = "cannot write the " + std::string(what) + " " + quoteName(path) + ": ";
    std::error_code error;
    fs::path target(path);
    if (fs::is_symlink(fs::symlink_status(target, error))) {
        const fs::path resolved = fs::weakly_canonical(target, error);
        if (!error) {
            target = resolved;
        }
    }
    const fs::file_status status = fs::status(target, error);
    if (fs::is_directory(status)) {
        throw UsageError(fail + "it is a directory");
    }
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        if (!write(target.string())) {
            throw UsageError(fail + "writing to it failed");
        }
        return;
    }
    TemporaryFile temporary(target, fail);
    if (fs::exists(status)) {
        fs::permissions(temporary.path(), status.permissions(), error);
    }
    bool written = false;
    try {
        written = write(temporary.path().string());
    } catch (...) {
        throw UsageError(fail + describeCurrentException("writing it"));
    }
    if (!written) {
        throw UsageError(fail + "writing it failed");
    }
    if (!temporary.commit(target)) {
        throw UsageError(fail + "it could not be replaced");
    }
}

void writeTextOutput(const std::string& path, std::string_view content, std::string_view what) {
    writeOutputFile(path, what, [content](const std::string& writePath) {
        std::ofstream file(writePath, std::ios::binary | std::ios::trunc);
        file.write(content.data(), static_cast<std::streamsize>(content.size()));
        file.close();
        return !file.fail();
    });
}

}  // namespace ColorCalCli
