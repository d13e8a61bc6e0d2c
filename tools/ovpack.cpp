#include "ovpack.h"

#include "payloadwriter.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <ostream>
#include <system_error>
#include <utility>

namespace ov::pack {

namespace payload = ov::payload;

namespace {

const char usage_text[] = "Usage:\n"
                          "  ovpack build --launcher SETUP.EXE --out OUT.EXE [--level N] [ENTRY OPTIONS] FILE...\n"
                          "  ovpack list FILE.EXE\n"
                          "  ovpack extract FILE.EXE [--out DIR] [NAME...]\n"
                          "  ovpack --help\n"
                          "\n"
                          "build: copies the launcher and appends a payload holding the FILEs, in the\n"
                          "order given, each stored under its file name. The launcher must be a bare\n"
                          "Windows executable, or one whose Authenticode certificate table ends the\n"
                          "file (the payload then follows the certificate table).\n"
                          "  --launcher FILE      the launcher (setup.exe)\n"
                          "  --out FILE           the launcher to write; written under a temporary name\n"
                          "                       and renamed when complete, never left half-written\n"
                          "  --level N            zlib compression level 1-9 (default 9)\n"
                          "  Entry options apply to every FILE after them, until changed:\n"
                          "  --compress           store the FILEs compressed with zlib\n"
                          "  --store              store them as they are (the default)\n"
                          "  --scramble MODE      none (default), whole (the stored data is one unit)\n"
                          "                       or block (the key restarts every 1024 bytes)\n"
                          "  --name NAME          store the next FILE under NAME instead of its file name\n"
                          "  --entry NAME=FILE    the same as --name NAME FILE\n"
                          "  --                   every later argument is a FILE\n"
                          "Entry names are plain ASCII file names of at most 259 bytes, unique without\n"
                          "regard to case: no \\ / : * ? \" < > |, control characters or \"..\", no\n"
                          "trailing dot or blank, no device names (CON, PRN, AUX, NUL, COM1-9, LPT1-9).\n"
                          "A payload holds at most 65535 entries of at most 4294967295 stored bytes.\n"
                          "\n"
                          "list: shows each entry's name, flags, stored size, compression and scrambling.\n"
                          "\n"
                          "extract: extracts all entries, or the NAMEs given, into DIR (default: the\n"
                          "current folder) with the launcher's own reader. Entries with unsafe names\n"
                          "are refused.\n"
                          "\n"
                          "Options take their value as the next argument or after '=' (--out=X).\n"
                          "Exit codes: 0 success, 1 failure (bad input, unreadable or unwritable\n"
                          "files), 2 wrong command line.\n";

struct usage_error {
    std::string message;
};

// Splits "--name=value" into its parts; the value is taken from the next
// argument when there is no '='.
class arguments {
public:
    explicit arguments(const std::vector<std::string>& args) : args_(args) {}
    bool done() const noexcept { return index_ >= args_.size(); }
    const std::string& next() { return args_[index_++]; }
    std::string value_of(const std::string& option, const std::optional<std::string>& inline_value)
    {
        if (inline_value)
            return *inline_value;
        if (done())
            throw usage_error{option + " needs a value"};
        return next();
    }

private:
    const std::vector<std::string>& args_;
    std::size_t index_ = 0;
};

bool is_option(const std::string& arg)
{
    return arg.size() > 1 && arg[0] == '-';
}

std::pair<std::string, std::optional<std::string>> split_option(const std::string& arg)
{
    const auto eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos)
        return {arg.substr(0, eq), arg.substr(eq + 1)};
    return {arg, std::nullopt};
}

std::string in_quotes(const std::string& text)
{
    return "'" + text + "'";
}

const char* scrambling_of(const payload::entry_record& record)
{
    if (!record.is_scrambled())
        return "none";
    return record.is_block_mode() ? "block" : "whole";
}

int command_build(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    build_options options;
    bool compress = false;
    scramble_mode scramble = scramble_mode::none;
    std::optional<std::string> next_name;
    bool only_files = false;
    auto add_file = [&](const std::string& file, std::optional<std::string> name) {
        entry_spec spec;
        spec.path = path_from_utf8(file);
        spec.name = name ? *name : path_to_utf8(spec.path.filename());
        spec.compress = compress;
        spec.scramble = scramble;
        options.entries.push_back(std::move(spec));
    };

    arguments in(args);
    while (!in.done()) {
        const std::string& arg = in.next();
        if (only_files || !is_option(arg)) {
            add_file(arg, std::exchange(next_name, std::nullopt));
            continue;
        }
        const auto [option, inline_value] = split_option(arg);
        if (option == "--") {
            only_files = true;
        } else if (option == "--launcher") {
            options.launcher = path_from_utf8(in.value_of(option, inline_value));
        } else if (option == "--out" || option == "-o") {
            options.output = path_from_utf8(in.value_of(option, inline_value));
        } else if (option == "--level") {
            const std::string level = in.value_of(option, inline_value);
            if (level.size() != 1 || level[0] < '1' || level[0] > '9')
                throw usage_error{"--level takes a number from 1 to 9, not " + in_quotes(level)};
            options.level = level[0] - '0';
        } else if (option == "--compress") {
            compress = true;
        } else if (option == "--store") {
            compress = false;
        } else if (option == "--scramble") {
            const std::string mode = in.value_of(option, inline_value);
            if (mode == "none")
                scramble = scramble_mode::none;
            else if (mode == "whole")
                scramble = scramble_mode::whole;
            else if (mode == "block")
                scramble = scramble_mode::block;
            else
                throw usage_error{"--scramble takes none, whole or block, not " + in_quotes(mode)};
        } else if (option == "--name") {
            next_name = in.value_of(option, inline_value);
        } else if (option == "--entry") {
            const std::string value = in.value_of(option, inline_value);
            const auto eq = value.find('=');
            if (eq == std::string::npos || eq + 1 == value.size())
                throw usage_error{"--entry takes NAME=FILE, not " + in_quotes(value)};
            add_file(value.substr(eq + 1), value.substr(0, eq));
        } else {
            throw usage_error{"unknown option " + in_quotes(arg) + " for build"};
        }
    }
    if (next_name)
        throw usage_error{"--name " + in_quotes(*next_name) + " is not followed by a FILE"};
    if (options.launcher.empty())
        throw usage_error{"build needs --launcher"};
    if (options.output.empty())
        throw usage_error{"build needs --out"};
    if (options.entries.empty())
        throw usage_error{"build needs at least one FILE"};

    const auto result = build_launcher(options);
    if (!result.ok) {
        err << "ovpack: " << result.error << "\n";
        return exit_failed;
    }
    out << "wrote " << in_quotes(path_to_utf8(options.output)) << ": " << options.entries.size()
        << " entries, payload of " << result.payload_bytes << " bytes at offset " << result.payload_start << "\n";
    return exit_ok;
}

// Opens a launcher and finds its payload as the launcher itself does.
bool open_payload(const std::string& file, input_file& in, payload::payload_index& index, std::ostream& err)
{
    std::string why;
    if (!in.open(path_from_utf8(file), why)) {
        err << "ovpack: cannot open " << in_quotes(file) << ": " << why << "\n";
        return false;
    }
    index = payload::locate_payload(in);
    if (index.entries.empty()) {
        err << "ovpack: " << in_quotes(file) << " carries no payload\n";
        return false;
    }
    return true;
}

int command_list(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    if (args.size() != 1 || is_option(args[0]))
        throw usage_error{"list takes exactly one FILE"};
    input_file in;
    payload::payload_index index;
    if (!open_payload(args[0], in, index, err))
        return exit_failed;
    out << "payload at offset " << index.start << ": " << index.entries.size() << " entries, "
        << payload::total_size(index.entries) << " bytes stored\n";
    std::size_t width = 4;
    for (const auto& e : index.entries)
        width = std::max(width, e.record.name.size());
    auto pad = [](std::string text, std::size_t to) {
        text.resize(std::max(text.size(), to), ' ');
        return text;
    };
    out << pad("name", width) << "  flags  " << pad("stored", 10) << "  compressed  scrambling\n";
    for (const auto& e : index.entries) {
        char flags[8];
        std::snprintf(flags, sizeof flags, "0x%02x", e.record.flags);
        out << pad(e.record.name, width) << "  " << flags << "   " << pad(std::to_string(e.record.size), 10) << "  "
            << pad(e.record.is_compressed() ? "yes" : "no", 10) << "  " << scrambling_of(e.record) << "\n";
    }
    return exit_ok;
}

int command_extract(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    std::optional<std::string> file;
    std::string folder = ".";
    std::vector<std::string> names;
    arguments in_args(args);
    bool only_names = false;
    while (!in_args.done()) {
        const std::string& arg = in_args.next();
        if (only_names || !is_option(arg)) {
            if (!file)
                file = arg;
            else
                names.push_back(arg);
            continue;
        }
        const auto [option, inline_value] = split_option(arg);
        if (option == "--")
            only_names = true;
        else if (option == "--out" || option == "-o")
            folder = in_args.value_of(option, inline_value);
        else
            throw usage_error{"unknown option " + in_quotes(arg) + " for extract"};
    }
    if (!file)
        throw usage_error{"extract needs a FILE"};

    input_file in;
    payload::payload_index index;
    if (!open_payload(*file, in, index, err))
        return exit_failed;

    // Everything is checked before the first file is written.
    std::vector<const payload::entry*> selected;
    if (names.empty()) {
        for (const auto& e : index.entries)
            selected.push_back(&e);
    } else {
        for (const auto& name : names) {
            const auto* e = payload::find_entry(index.entries, name);
            if (!e) {
                err << "ovpack: " << in_quotes(*file) << " has no entry " << in_quotes(name) << "\n";
                return exit_failed;
            }
            selected.push_back(e);
        }
    }
    for (const auto* e : selected) {
        if (!payload::is_safe_entry_name(e->record.name)) {
            err << "ovpack: refusing to extract entry " << in_quotes(e->record.name)
                << ": it is not a safe file name and could be written outside " << in_quotes(folder) << "\n";
            return exit_failed;
        }
    }
    const fs::path target = path_from_utf8(folder);
    std::error_code ec;
    fs::create_directories(target, ec);
    if (ec) {
        err << "ovpack: cannot create folder " << in_quotes(folder) << ": " << ec.message() << "\n";
        return exit_failed;
    }
    for (const auto* e : selected) {
        output_file output(target / path_from_utf8(e->record.name));
        std::string why;
        if (!output.create(why)) {
            err << "ovpack: " << why << "\n";
            return exit_failed;
        }
        const auto result = payload::extract_entry(in, *e, output, nullptr);
        if (result != payload::extract_result::ok) {
            err << "ovpack: cannot extract " << in_quotes(e->record.name) << ": "
                << (result == payload::extract_result::write_error ? output.write_error()
                                                                   : std::string(payload::describe(result)))
                << "\n";
            return exit_failed;
        }
        if (!output.commit(why)) {
            err << "ovpack: " << why << "\n";
            return exit_failed;
        }
        out << "extracted " << in_quotes(e->record.name) << "\n";
    }
    return exit_ok;
}

} // namespace

const char* ovpack_usage() noexcept
{
    return usage_text;
}

int run_ovpack(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    if (args.empty()) {
        err << usage_text;
        return exit_usage;
    }
    const std::string& command = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    try {
        if (command == "--help" || command == "-h" || command == "help") {
            out << usage_text;
            return exit_ok;
        }
        if (command == "build")
            return command_build(rest, out, err);
        if (command == "list")
            return command_list(rest, out, err);
        if (command == "extract")
            return command_extract(rest, out, err);
        throw usage_error{"unknown command " + in_quotes(command)};
    } catch (const usage_error& e) {
        err << "ovpack: " << e.message << "\nTry 'ovpack --help'.\n";
        return exit_usage;
    } catch (const std::exception& e) {
        err << "ovpack: " << e.what() << "\n";
        return exit_failed;
    }
}

} // namespace ov::pack
