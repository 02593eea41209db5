// orv::hostfile: what an output does to each kind of node it may name, the
// bounds of a whole-file read, and the lock a process holds on a file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "lib/hostfile/host_file.hpp"

namespace {

namespace fs = std::filesystem;
using orv::hostfile::FileError;
using orv::hostfile::FileLock;
using orv::hostfile::OutputFile;
using orv::hostfile::read_file;

class HostFile : public ::testing::Test {
public:
    void SetUp() override
    {
        dir_ = fs::path(::testing::TempDir()) /
               ("hostfile_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    [[nodiscard]] std::string at(const std::string& name) const { return (dir_ / name).string(); }
    [[nodiscard]] std::size_t entries() const
    {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), {}));
    }

    fs::path dir_;
};

std::string content(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void put(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

void write_whole(const std::string& path, const std::string& text)
{
    OutputFile out(path);
    out.write({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    out.commit();
}

mode_t mode_of(const std::string& path)
{
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode;
}

// Each kind of node an output may name: what is written where, and what the
// node is afterwards.
TEST_F(HostFile, OutputsReplaceFilesAndNewPathsOnlyAndFollowLinks)
{
    struct Case {
        const char* name;
        std::function<void(HostFile&)> before;
        const char* output;  // the path given
        const char* written; // where the bytes must be
        const char* link;    // a path that must still be a link afterwards, or ""
        mode_t mode;         // permissions of the written file (0: the umask's)
    };
    const Case cases[] = {
        {"new path", [](HostFile&) {}, "new.bin", "new.bin", "", 0},
        {"file kept private",
         [](HostFile& t) {
             put(t.at("private.bin"), "old contents, longer");
             ::chmod(t.at("private.bin").c_str(), 0600);
         },
         "private.bin", "private.bin", "", 0600},
        {"link to a file",
         [](HostFile& t) {
             fs::create_directory(t.dir_ / "real");
             put(t.at("real/target.bin"), "old");
             ::chmod(t.at("real/target.bin").c_str(), 0640);
             fs::create_symlink("real/target.bin", t.dir_ / "link.bin");
         },
         "link.bin", "real/target.bin", "link.bin", 0640},
        {"link to a link to a new file",
         [](HostFile& t) {
             fs::create_symlink("hop.bin", t.dir_ / "first.bin");
             fs::create_symlink("made.bin", t.dir_ / "hop.bin");
         },
         "first.bin", "made.bin", "first.bin", 0},
        {"name of 245 bytes", [](HostFile&) {}, nullptr, nullptr, "", 0},
    };
    const mode_t mask = ::umask(0);
    ::umask(mask);
    const std::string long_name(245, 'n');
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        c.before(*this);
        const std::string output = at(c.output != nullptr ? c.output : long_name);
        write_whole(output, "new");
        const std::string written = at(c.written != nullptr ? c.written : long_name);
        EXPECT_EQ(content(written), "new");
        EXPECT_TRUE(S_ISREG(mode_of(written)));
        EXPECT_EQ(mode_of(written) & 07777, c.mode != 0 ? c.mode : 0666 & ~mask);
        if (*c.link != '\0') {
            EXPECT_TRUE(S_ISLNK(mode_of(at(c.link))));
        }
        // No temporary file is left beside it.
        for (const auto& entry : fs::recursive_directory_iterator(dir_)) {
            EXPECT_EQ(entry.path().filename().string().rfind(".", 0), std::string::npos) << entry.path();
        }
    }
}

TEST_F(HostFile, AFifoIsWrittenInPlace)
{
    const std::string fifo = at("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string received;
    std::thread reader([&] { received = content(fifo); });
    write_whole(fifo, "through the pipe");
    reader.join();
    EXPECT_EQ(received, "through the pipe");
    EXPECT_TRUE(S_ISFIFO(mode_of(fifo)));
    EXPECT_EQ(entries(), 1u);
}

// A device, or a pipe that only a link names (/dev/stdout), is written in
// place: the node and the link stay.
TEST_F(HostFile, ADeviceOrAPipeBehindALinkIsWrittenInPlace)
{
    OutputFile device("/dev/null");
    ASSERT_TRUE(device.in_place()); // else the temporary file goes, never renamed over the device
    device.write({reinterpret_cast<const std::uint8_t*>("x"), 1});
    device.commit();
    EXPECT_TRUE(S_ISCHR(mode_of("/dev/null")));

    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    fs::create_symlink("/proc/self/fd/" + std::to_string(pipe_fds[1]), dir_ / "out");
    {
        OutputFile out(at("out"));
        ASSERT_TRUE(out.in_place());
        out.write({reinterpret_cast<const std::uint8_t*>("piped"), 5});
        out.commit();
    }
    ::close(pipe_fds[1]);
    EXPECT_EQ(orv::hostfile::read_descriptor(pipe_fds[0], "the pipe", 100),
              (std::vector<std::uint8_t>{'p', 'i', 'p', 'e', 'd'}));
    ::close(pipe_fds[0]);
    EXPECT_TRUE(S_ISLNK(mode_of(at("out"))));
}

TEST_F(HostFile, WithoutCommitTheOldFileStaysAndNothingIsLeft)
{
    put(at("keep.bin"), "previous");
    {
        OutputFile out(at("keep.bin"));
        out.write({reinterpret_cast<const std::uint8_t*>("partial"), 7});
    }
    EXPECT_EQ(content(at("keep.bin")), "previous");
    EXPECT_EQ(entries(), 1u);
    try {
        OutputFile out(dir_.string());
        ADD_FAILURE() << "a directory was taken as an output";
    } catch (const FileError& e) {
        EXPECT_EQ(e.kind(), FileError::Kind::not_a_file);
    }
    EXPECT_THROW(OutputFile(at("missing/dir/file.bin")), FileError);
}

TEST_F(HostFile, TheOwnerIsKeptWhereTheSystemAllowsIt)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "changing a file's owner needs root";
    }
    put(at("theirs.bin"), "old");
    ASSERT_EQ(::chown(at("theirs.bin").c_str(), 65534, 65534), 0);
    write_whole(at("theirs.bin"), "new");
    struct stat st {};
    ASSERT_EQ(::stat(at("theirs.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
}

// A regular file's size decides before anything is read (a sparse terabyte is
// refused at once); a device or a pipe is read up to the bound and no further.
TEST_F(HostFile, ReadsAreBoundedByWhatTheInputCanBe)
{
    put(at("small.bin"), "12345678");
    EXPECT_EQ(read_file(at("small.bin"), 8).size(), 8u);
    const auto refused = [](const std::string& path, std::uint64_t max) {
        try {
            (void)read_file(path, max);
        } catch (const FileError& e) {
            return e.kind();
        }
        return FileError::Kind::system; // not refused: told apart below by the expectation
    };
    EXPECT_EQ(refused(at("small.bin"), 7), FileError::Kind::too_large);
    {
        std::ofstream(at("sparse.bin")) << "";
    }
    fs::resize_file(dir_ / "sparse.bin", std::uintmax_t{1} << 40);
    EXPECT_EQ(refused(at("sparse.bin"), std::uint64_t{1} << 30), FileError::Kind::too_large);
    EXPECT_EQ(refused("/dev/zero", 1 << 20), FileError::Kind::too_large);
    EXPECT_EQ(refused(dir_.string(), 1 << 20), FileError::Kind::not_a_file);
    try {
        (void)read_file(at("absent.bin"), 1);
        ADD_FAILURE() << "a missing file was read";
    } catch (const FileError& e) {
        EXPECT_EQ(e.kind(), FileError::Kind::system);
        EXPECT_EQ(e.error_number(), ENOENT);
    }

    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    std::thread writer([fd = pipe_fds[1]] {
        const std::string bytes(100000, 'p');
        (void)::write(fd, bytes.data(), bytes.size());
        ::close(fd);
    });
    EXPECT_EQ(orv::hostfile::read_descriptor(pipe_fds[0], "the pipe", 100000).size(), 100000u);
    writer.join();
    ::close(pipe_fds[0]);
}

// The lock is per open file: a second acquire, in this process as in
// another, is refused while the first is held, and follows the file through
// a replacement.
TEST_F(HostFile, ALockIsHeldUntilReleasedAndFollowsTheReplacement)
{
    bool created = false;
    FileLock first = FileLock::acquire(at("image.bin"), created);
    EXPECT_TRUE(created);
    EXPECT_TRUE(fs::exists(dir_ / "image.bin"));
    const auto second_refused = [&] {
        bool made = true;
        try {
            FileLock second = FileLock::acquire(at("image.bin"), made);
        } catch (const FileError& e) {
            return e.kind() == FileError::Kind::locked && !made;
        }
        return false;
    };
    EXPECT_TRUE(second_refused());

    OutputFile out(at("image.bin"));
    out.write({reinterpret_cast<const std::uint8_t*>("saved"), 5});
    out.commit(first);
    EXPECT_EQ(content(at("image.bin")), "saved");
    EXPECT_TRUE(first.held());
    EXPECT_TRUE(second_refused()); // the new file is locked as it appears

    first.release();
    FileLock again = FileLock::acquire(at("image.bin"), created);
    EXPECT_FALSE(created);
    EXPECT_TRUE(again.held());
}

} // namespace

// A new file takes a name only while nothing has it, whatever is there (a
// file, a dangling link, a FIFO), and comes whole; many writers racing for
// one name: one wins, the others hear so, and no temporary file is left.
TEST_F(HostFile, ANewFileNeverTakesThePlaceOfAnother)
{
    using orv::hostfile::write_new_file;
    const std::string data = "recovered";
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(data.data()),
                                              data.size());
    write_new_file(at("new.bin"), bytes);
    EXPECT_EQ(content(at("new.bin")), data);
    EXPECT_EQ(
        mode_of(at("new.bin")) & 0777, 0666 & ~[] {
            const mode_t mask = umask(0);
            umask(mask);
            return mask;
        }());

    put(at("file.bin"), "old");
    fs::create_symlink("nowhere", at("dangling"));
    ASSERT_EQ(::mkfifo(at("fifo").c_str(), 0600), 0);
    for (const char* taken : {"new.bin", "file.bin", "dangling", "fifo"}) {
        try {
            write_new_file(at(taken), bytes);
            ADD_FAILURE() << taken << " was taken";
        } catch (const FileError& e) {
            EXPECT_EQ(e.kind(), FileError::Kind::exists) << taken << ": " << e.what();
        }
    }
    EXPECT_EQ(content(at("file.bin")), "old");
    EXPECT_TRUE(fs::is_symlink(at("dangling")));
    EXPECT_FALSE(fs::exists(at("nowhere")));
    try {
        write_new_file(at("none/x.bin"), bytes);
        ADD_FAILURE() << "a missing directory";
    } catch (const FileError& e) {
        EXPECT_EQ(e.kind(), FileError::Kind::system);
        EXPECT_EQ(e.error_number(), ENOENT);
    }

    std::atomic<int> won{0};
    std::atomic<int> refused{0};
    std::vector<std::thread> writers;
    for (int i = 0; i < 8; ++i) {
        writers.emplace_back([&, i] {
            const std::string mine(4096, static_cast<char>('a' + i));
            try {
                write_new_file(at("raced.bin"),
                               {reinterpret_cast<const std::uint8_t*>(mine.data()), mine.size()});
                ++won;
            } catch (const FileError& e) {
                refused += e.kind() == FileError::Kind::exists ? 1 : 0;
            }
        });
    }
    for (auto& t : writers) {
        t.join();
    }
    EXPECT_EQ(won, 1);
    EXPECT_EQ(refused, 7);
    const std::string raced = content(at("raced.bin"));
    EXPECT_EQ(raced, std::string(4096, raced.at(0))) << "one writer's bytes, whole";
    EXPECT_EQ(entries(), 5u) << "new.bin, file.bin, dangling, fifo, raced.bin and nothing else";
}
