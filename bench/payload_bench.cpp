// Extraction throughput and memory of the payload reader.
//
//   payload_bench prepare DIR SIZE_MIB   generates SIZE_MIB of plain input (half
//       random, half text-like), builds DIR/payload.exe from it with the
//       authoring tool's code (every entry compressed; scrambling none, whole
//       and block in turn) and keeps each entry's plain zlib stream for the
//       baseline.
//   payload_bench extract DIR [ROUNDS]   extracts every entry through the
//       launcher's one-pass extraction (payloadformat's extract_entry) and,
//       in the same run, inflates the same zlib streams with plain zlib calls;
//       prints both throughputs, their ratio and this process's peak memory.
//
// Both sides read files and write their output to files in 16-64 KiB pieces;
// the best of ROUNDS (default 3) runs counts.
#include "payloadformat.h"
#include "payloadwriter.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "test_pe.h"

namespace {

namespace fs = std::filesystem;
namespace payload = ov::payload;
using clock_type = std::chrono::steady_clock;

constexpr std::size_t mib = 1024 * 1024;
constexpr int entries_per_kind = 4;

long peak_rss_kib()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

[[noreturn]] void die(const std::string& message)
{
    std::fprintf(stderr, "payload_bench: %s\n", message.c_str());
    std::exit(1);
}

// Writes `size` bytes produced block by block, never holding more than a block.
template <typename Fill>
void generate(const fs::path& path, std::uint64_t size, Fill fill)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        die("cannot create " + path.string());
    std::vector<std::uint8_t> block(mib);
    for (std::uint64_t done = 0; done < size;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), size - done));
        fill(block.data(), n);
        if (std::fwrite(block.data(), 1, n, f) != n)
            die("cannot write " + path.string());
        done += n;
    }
    std::fclose(f);
}

void fill_random(std::mt19937_64& random, std::uint8_t* p, std::size_t n)
{
    for (std::size_t i = 0; i + 8 <= n; i += 8) {
        const std::uint64_t v = random();
        std::memcpy(p + i, &v, 8);
    }
    for (std::size_t i = n & ~std::size_t{7}; i < n; ++i)
        p[i] = static_cast<std::uint8_t>(random());
}

void fill_text(std::mt19937_64& random, std::uint8_t* p, std::size_t n)
{
    static const char* const words[] = {"Orvane ",    "setup ",    "package ", "install ", "feature ",
                                        "component ", "registry ", "value=",   "1\r\n",    "[Section]\r\n"};
    std::size_t at = 0;
    while (at < n) {
        const char* w = words[random() % 10];
        const std::size_t len = std::min(std::strlen(w), n - at);
        std::memcpy(p + at, w, len);
        at += len;
    }
}

// Stored bytes of an entry, descrambled: its plain zlib stream.
void write_zlib_stream(payload::byte_source& file, const payload::entry& e, const fs::path& to)
{
    std::FILE* f = std::fopen(to.c_str(), "wb");
    if (!f)
        die("cannot create " + to.string());
    std::optional<payload::scrambler> unscramble;
    if (e.record.is_scrambled())
        unscramble.emplace(e.record.name, e.record.is_block_mode());
    std::vector<std::uint8_t> buffer(mib);
    for (std::uint64_t done = 0; done < e.record.size;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), e.record.size - done));
        if (!payload::read_exact(file, e.data_offset + done, buffer.data(), n))
            die("cannot read the payload");
        if (unscramble)
            unscramble->descramble(buffer.data(), n);
        std::fwrite(buffer.data(), 1, n, f);
        done += n;
    }
    std::fclose(f);
}

int prepare(const fs::path& dir, std::uint64_t size_mib)
{
    fs::create_directories(dir / "in");
    fs::create_directories(dir / "zlib");
    const fs::path launcher = dir / "bare.exe";
    {
        const auto pe = ov::test::make_pe();
        std::ofstream(launcher, std::ios::binary)
            .write(reinterpret_cast<const char*>(pe.data()), static_cast<std::streamsize>(pe.size()));
    }
    ov::pack::build_options options;
    options.launcher = launcher;
    options.output = dir / "payload.exe";
    options.level = 1;
    const std::uint64_t per_entry = size_mib * mib / (2 * entries_per_kind);
    std::mt19937_64 random(20240601);
    const ov::pack::scramble_mode modes[] = {ov::pack::scramble_mode::none, ov::pack::scramble_mode::whole,
                                             ov::pack::scramble_mode::block};
    for (int i = 0; i < 2 * entries_per_kind; ++i) {
        const bool text = i % 2 == 1;
        const std::string name = (text ? "text" : "random") + std::to_string(i) + ".bin";
        generate(dir / "in" / name, per_entry,
                 [&](std::uint8_t* p, std::size_t n) { text ? fill_text(random, p, n) : fill_random(random, p, n); });
        options.entries.push_back({name, dir / "in" / name, true, modes[i % 3]});
    }
    const auto t0 = clock_type::now();
    const auto built = ov::pack::build_launcher(options);
    const double seconds = std::chrono::duration<double>(clock_type::now() - t0).count();
    if (!built.ok)
        die(built.error);

    ov::pack::input_file file;
    std::string error;
    if (!file.open(options.output, error))
        die(error);
    const auto index = payload::locate_payload(file);
    for (std::size_t i = 0; i < index.entries.size(); ++i)
        write_zlib_stream(file, index.entries[i], dir / "zlib" / (std::to_string(i) + ".z"));
    std::printf("prepared %s: %llu MiB plain input in %zu entries, payload %.1f MiB stored, built in %.2f s, "
                "peak memory %ld KiB\n",
                options.output.c_str(), static_cast<unsigned long long>(size_mib), options.entries.size(),
                static_cast<double>(built.payload_bytes) / mib, seconds, peak_rss_kib());
    return 0;
}

// Output to a file with plain write() calls, as WriteFile does in the launcher.
class fd_sink final : public payload::byte_sink {
public:
    explicit fd_sink(const fs::path& path) : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644))
    {
        if (fd_ < 0)
            die("cannot create " + path.string());
    }
    ~fd_sink() { ::close(fd_); }
    bool write(const std::uint8_t* data, std::size_t count) noexcept override
    {
        while (count > 0) {
            const ssize_t n = ::write(fd_, data, count);
            if (n <= 0)
                return false;
            data += n;
            count -= static_cast<std::size_t>(n);
            bytes += static_cast<std::uint64_t>(n);
        }
        return true;
    }
    std::uint64_t bytes = 0;

private:
    int fd_;
};

// The launcher's path: locate the payload, then extract_entry per entry.
std::uint64_t extract_with_reader(const fs::path& dir)
{
    ov::pack::input_file file;
    std::string error;
    if (!file.open(dir / "payload.exe", error))
        die(error);
    const auto index = payload::locate_payload(file);
    std::uint64_t out = 0;
    for (const auto& e : index.entries) {
        fd_sink sink(dir / "out" / e.record.name);
        const auto result = payload::extract_entry(file, e, sink, nullptr);
        if (result != payload::extract_result::ok)
            die(std::string("extraction failed: ") + payload::describe(result));
        out += sink.bytes;
    }
    return out;
}

// Plain zlib: read 16 KiB, inflate into 16 KiB, write; the usual loop.
std::uint64_t inflate_plain(const fs::path& dir, std::size_t count)
{
    constexpr std::size_t chunk = 16384;
    std::vector<std::uint8_t> in(chunk), out(chunk);
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const int source = ::open((dir / "zlib" / (std::to_string(i) + ".z")).c_str(), O_RDONLY);
        if (source < 0)
            die("cannot open a zlib stream");
        fd_sink sink(dir / "out" / ("plain" + std::to_string(i)));
        z_stream z{};
        inflateInit2(&z, 15);
        int rc = Z_OK;
        while (rc != Z_STREAM_END) {
            const ssize_t got = ::read(source, in.data(), chunk);
            if (got <= 0)
                die("zlib stream ends early");
            z.next_in = in.data();
            z.avail_in = static_cast<uInt>(got);
            do {
                z.next_out = out.data();
                z.avail_out = chunk;
                rc = inflate(&z, Z_NO_FLUSH);
                if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR)
                    die("zlib error");
                if (!sink.write(out.data(), chunk - z.avail_out))
                    die("write failed");
            } while (z.avail_out == 0 && rc != Z_STREAM_END);
        }
        inflateEnd(&z);
        ::close(source);
        total += sink.bytes;
    }
    return total;
}

bool same_files(const fs::path& a, const fs::path& b)
{
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    std::vector<char> ba(mib), bb(mib);
    while (fa && fb) {
        fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
        fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
        if (fa.gcount() != fb.gcount() || std::memcmp(ba.data(), bb.data(), static_cast<std::size_t>(fa.gcount())))
            return false;
    }
    return fa.eof() && fb.eof();
}

int extract(const fs::path& dir, int rounds)
{
    fs::create_directories(dir / "out");
    std::size_t streams = 0;
    while (fs::exists(dir / "zlib" / (std::to_string(streams) + ".z")))
        ++streams;
    double best_reader = 1e9, best_plain = 1e9;
    std::uint64_t bytes_reader = 0, bytes_plain = 0;
    for (int round = 0; round < rounds; ++round) {
        auto t0 = clock_type::now();
        bytes_reader = extract_with_reader(dir);
        best_reader = std::min(best_reader, std::chrono::duration<double>(clock_type::now() - t0).count());
        t0 = clock_type::now();
        bytes_plain = inflate_plain(dir, streams);
        best_plain = std::min(best_plain, std::chrono::duration<double>(clock_type::now() - t0).count());
    }
    if (bytes_reader != bytes_plain)
        die("the two paths produced different amounts of data");
    for (const auto& e : fs::directory_iterator(dir / "in")) {
        if (!same_files(e.path(), dir / "out" / e.path().filename()))
            die("extracted " + e.path().filename().string() + " differs from its input");
    }
    const double reader_mibs = static_cast<double>(bytes_reader) / mib / best_reader;
    const double plain_mibs = static_cast<double>(bytes_plain) / mib / best_plain;
    std::printf("extracted %.1f MiB (best of %d): launcher's extraction %.0f MiB/s, plain zlib inflate %.0f MiB/s, "
                "ratio %.2f; output verified; peak memory of this process %ld KiB\n",
                static_cast<double>(bytes_reader) / mib, rounds, reader_mibs, plain_mibs, reader_mibs / plain_mibs,
                peak_rss_kib());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "prepare" && argc == 4)
        return prepare(argv[2], std::stoull(argv[3]));
    if (command == "extract" && (argc == 3 || argc == 4))
        return extract(argv[2], argc == 4 ? std::stoi(argv[3]) : 3);
    std::fprintf(stderr, "usage: payload_bench prepare DIR SIZE_MIB | payload_bench extract DIR [ROUNDS]\n");
    return 2;
}
