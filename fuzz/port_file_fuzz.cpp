// The port file on any bytes: the reader against a plain split into runs of non-white-space
// (over-long runs skipped whole, an entry ending at a NUL it holds), and the recording of a
// port text against "append unless a scan meets the text or 9100 first".
//
// Input: the port text up to the first NUL, then the file's bytes; without a NUL there is
// no file at all. The file lies in the current directory, so the target works in a private
// folder of its own, made once at start-up and removed at exit.
#include "settings/settings_store.h"
#include "fuzz/fuzz_check.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

char g_folder[4096];

void RemoveFolder() {
    std::remove(kPortFileName);
    if (chdir("/") == 0) {
        rmdir(g_folder);
    }
}

bool IsWhiteSpace(char c) {
    return std::strchr(" \t\n\v\f\r", c) != nullptr && c != '\0';
}

std::vector<std::string> ReferenceEntries(const std::string& file) {
    std::vector<std::string> entries;
    size_t position = 0;
    while (position < file.size()) {
        if (IsWhiteSpace(file[position])) {
            ++position;
            continue;
        }
        size_t end = position;
        while (end < file.size() && !IsWhiteSpace(file[end])) {
            ++end;
        }
        const std::string run = file.substr(position, end - position);
        if (run.size() <= static_cast<size_t>(kTextBufferSize - 1)) {
            entries.push_back(run.substr(0, run.find('\0')));
        }
        position = end;
    }
    return entries;
}

void WriteFile(const std::string& content) {
    FILE* stream = std::fopen(kPortFileName, "wb");
    fuzz::Check(stream != nullptr, "cannot write the port file");
    fuzz::Check(std::fwrite(content.data(), 1, content.size(), stream) == content.size(),
                "cannot write the port file");
    std::fclose(stream);
}

bool ReadFile(std::string* content) {
    FILE* stream = std::fopen(kPortFileName, "rb");
    if (stream == nullptr) {
        return false;
    }
    content->clear();
    char chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof(chunk), stream)) > 0) {
        content->append(chunk, got);
    }
    std::fclose(stream);
    return true;
}

std::string Joined(const std::vector<std::string>& entries) {
    std::string joined;
    for (const std::string& entry : entries) {
        joined += "[" + entry + "]";
    }
    return joined;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    const char* temp = std::getenv("TMPDIR");
    std::snprintf(g_folder, sizeof(g_folder), "%s/port_file_fuzz.XXXXXX",
                  temp != nullptr && temp[0] != '\0' ? temp : "/tmp");
    if (mkdtemp(g_folder) == nullptr || chdir(g_folder) != 0) {
        std::perror("port_file_fuzz: private folder");
        std::exit(1);
    }
    std::atexit(RemoveFolder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find('\0');
    const bool fileExists = split != std::string::npos;
    const std::string portText = input.substr(0, split);
    const std::string file = fileExists ? input.substr(split + 1) : std::string();

    std::remove(kPortFileName);
    if (fileExists) {
        WriteFile(file);
    }

    // Every entry, once each and in order; then no more, however often asked.
    const std::vector<std::string> expected = ReferenceEntries(file);
    std::vector<std::string> actual;
    PortFileReader reader{};
    OpenPortFile(&reader);
    fuzz::Check(fileExists == (reader.stream != nullptr), "port file opened or not");
    char entry[kTextBufferSize];
    while (actual.size() <= expected.size() && NextPortEntry(&reader, entry)) {
        actual.emplace_back(entry);
    }
    fuzz::Check(!NextPortEntry(&reader, entry) && entry[0] == '\0', "an entry after the last");
    ClosePortFile(&reader);
    fuzz::Check(reader.stream == nullptr, "port file left open");
    fuzz::CheckEqual(Joined(actual), Joined(expected), "entries");

    // Recording: nothing when an entry equals the port text or "9100", else one appended line.
    bool met = false;
    for (const std::string& known : expected) {
        if (known == portText || known == "9100") {
            met = true;
            break;
        }
    }
    RecordPortInFile(portText.c_str());
    std::string after;
    fuzz::Check(ReadFile(&after), "no port file after recording");
    // A last line without its line end is ended first, so that the new entry stands alone.
    const std::string lineEnd = !file.empty() && file.back() != '\n' ? "\n" : "";
    fuzz::CheckEqual(after, met ? file : file + lineEnd + portText + "\n",
                     "port file after recording");
    return 0;
}
