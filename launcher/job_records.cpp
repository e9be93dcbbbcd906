// The result file and the job log.
#include "launcher/job_records.h"

#include "core/file_names.h"
#include "settings/setting_places.h"

#include <cstdio>
#include <cstring>

namespace {

// A path or message of up to kPathBufferSize wide characters, in UTF-8.
constexpr int kUtf8TextSize = 3 * kPathBufferSize;
// The three texts with every byte escaped (six bytes for a control character), the keys and
// the numbers: a record always fits.
constexpr int kRecordSize = 3 * 6 * kUtf8TextSize + 512;
// A path and the suffix of the temporary file or of the log's names.
constexpr int kWidePathSize = kPathBufferSize + 32;

constexpr unsigned long long kLogMoveSize = 1024ull * 1024ull;
// The log never delays a job: past this wait the line is appended without the turn.
constexpr DWORD kLogTurnWait = 300; // milliseconds
// Every session of the user (a scheduled task in session 0 and the desktop) shares the turn;
// where the global name cannot be had, the session's own is better than none.
constexpr char kLogMutexPrefix[] = "Global\\TagwrightJobLog-";
constexpr char kSessionLogMutexName[] = "Local\\TagwrightJobLog";
constexpr int kLogMutexNameSize = 256;
constexpr char kLogFolder[] = "\\Tagwright";
constexpr char kLogName[] = "\\jobs.log";
constexpr char kOldLogName[] = "\\jobs.log.1";
constexpr char kPrinted[] = "printed";

// What a record is made in, taken from the process heap at once: too large for the stack.
struct RecordBuffers {
    char file[kUtf8TextSize];
    char message[kUtf8TextSize];
    char target[kUtf8TextSize];
    char scratch[kUtf8TextSize];
    char text[kRecordSize];
    WCHAR path[kWidePathSize];
    WCHAR otherPath[kWidePathSize];
};

// A text made piece by piece. A piece that does not fit spoils it: a spoiled text is not
// written at all.
struct RecordText {
    char* text;
    int size;
    int length;
    bool spoiled;
};

const char* OrEmpty(const char* text) {
    return text != nullptr ? text : "";
}

const char* ConfirmedOf(const FinishedJob* job) {
    return job->confirmed != nullptr ? job->confirmed : "no";
}

void AppendBytes(RecordText* record, const char* bytes, int count) {
    if (record->spoiled || count > record->size - 1 - record->length) {
        record->spoiled = true;
        return;
    }
    std::memcpy(record->text + record->length, bytes, static_cast<size_t>(count));
    record->length += count;
    record->text[record->length] = '\0';
}

void AppendText(RecordText* record, const char* text) {
    AppendBytes(record, text, static_cast<int>(std::strlen(text)));
}

void AppendNumber(RecordText* record, unsigned long long number) {
    char digits[24];
    int first = sizeof digits;
    do {
        digits[--first] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number != 0);
    AppendBytes(record, digits + first, static_cast<int>(sizeof digits) - first);
}

void AppendSigned(RecordText* record, long long number) {
    if (number < 0) {
        AppendText(record, "-");
        AppendNumber(record, static_cast<unsigned long long>(-(number + 1)) + 1);
        return;
    }
    AppendNumber(record, static_cast<unsigned long long>(number));
}

// A JSON string: quotes and backslashes escaped, control characters as \u00XX, the UTF-8 of
// other characters as it is.
void AppendJsonString(RecordText* record, const char* text) {
    static const char kHex[] = "0123456789abcdef";
    AppendText(record, "\"");
    for (const char* at = text; *at != '\0'; ++at) {
        auto byte = static_cast<unsigned char>(*at);
        if (byte == '"' || byte == '\\') {
            const char escaped[2] = {'\\', *at};
            AppendBytes(record, escaped, 2);
        } else if (byte < 0x20) {
            const char escaped[6] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xF]};
            AppendBytes(record, escaped, 6);
        } else {
            AppendBytes(record, at, 1);
        }
    }
    AppendText(record, "\"");
}

// A field of a log line: a control character would end the field or the line, so it shows
// as a space.
void AppendLogField(RecordText* record, const char* text) {
    for (const char* at = text; *at != '\0'; ++at) {
        char shown = static_cast<unsigned char>(*at) < 0x20 ? ' ' : *at;
        AppendBytes(record, &shown, 1);
    }
    AppendText(record, "\t");
}

// Appends ASCII text to a wide name of kWidePathSize units; false when it does not fit.
bool AppendToWide(WCHAR* wide, const char* suffix) {
    int length = 0;
    while (length < kWidePathSize && wide[length] != 0) {
        ++length;
    }
    int count = static_cast<int>(std::strlen(suffix));
    if (length + count >= kWidePathSize) {
        return false;
    }
    for (int i = 0; i <= count; ++i) {
        wide[length + i] = static_cast<WCHAR>(static_cast<unsigned char>(suffix[i]));
    }
    return true;
}

void CopyWide(WCHAR* to, const WCHAR* from) {
    int i = 0;
    for (; i < kWidePathSize - 1 && from[i] != 0; ++i) {
        to[i] = from[i];
    }
    to[i] = 0;
}

// A path in the encoding of the job's path as a wide name in `wide` (kWidePathSize units);
// false when it is empty or cannot be converted.
bool WidePathOf(const char* path, bool utf8Path, RecordBuffers* buffers, WCHAR* wide) {
    if (!TextAsUtf8(path, utf8Path, buffers->scratch, kUtf8TextSize) ||
        buffers->scratch[0] == '\0') {
        return false;
    }
    return MultiByteToWideChar(CP_UTF8, 0, buffers->scratch, -1, wide, kPathBufferSize) != 0;
}

unsigned long long SizeOf(const WIN32_FILE_ATTRIBUTE_DATA& data) {
    return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void MakeResultRecord(const FinishedJob* job, const RecordBuffers* buffers, RecordText* record) {
    AppendText(record, "{\"result\":");
    AppendJsonString(record, OrEmpty(job->result));
    AppendText(record, ",\"exit_code\":");
    AppendSigned(record, job->exitCode);
    AppendText(record, ",\"error\":");
    AppendNumber(record, job->error);
    AppendText(record, ",\"message\":");
    AppendJsonString(record, buffers->message);
    AppendText(record, ",\"file\":");
    AppendJsonString(record, buffers->file);
    AppendText(record, ",\"target\":");
    AppendJsonString(record, buffers->target);
    AppendText(record, ",\"bytes\":");
    AppendNumber(record, g_jobOutcome.bytesAccepted);
    AppendText(record, ",\"milliseconds\":");
    AppendNumber(record, job->milliseconds);
    AppendText(record, ",\"confirmed\":");
    AppendJsonString(record, ConfirmedOf(job));
    AppendText(record, ",\"printer\":");
    AppendJsonString(record, OrEmpty(job->printer));
    AppendText(record, ",\"settings\":");
    AppendJsonString(record, SettingPlaceName(g_jobOutcome.settings));
    AppendText(record, "}\r\n");
}

// The record goes to a temporary file beside its place, which only a whole, flushed file
// replaces; whatever fails, the temporary file goes and the place stays as it was.
void WriteResultFile(const FinishedJob* job, const char* resultPath, RecordBuffers* buffers) {
    RecordText record{buffers->text, kRecordSize, 0, false};
    MakeResultRecord(job, buffers, &record);
    if (record.spoiled || !WidePathOf(resultPath, job->utf8Path, buffers, buffers->path)) {
        return;
    }
    CopyWide(buffers->otherPath, buffers->path);
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".tmp%lu",
                  static_cast<unsigned long>(GetCurrentProcessId()));
    if (!AppendToWide(buffers->otherPath, suffix)) {
        return;
    }
    HANDLE file = CreateFileW(buffers->otherPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    auto length = static_cast<DWORD>(record.length);
    bool whole = WriteFile(file, record.text, length, &written, nullptr) && written == length &&
                 FlushFileBuffers(file);
    CloseHandle(file);
    if (!whole || !MoveFileExW(buffers->otherPath, buffers->path,
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(buffers->otherPath);
    }
}

long long DaysSince1970(int year, int month, int day) {
    // Days from 1 March of year 0, so that the leap day ends the year.
    if (month <= 2) {
        --year;
        month += 12;
    }
    long long days =
        365LL * year + year / 4 - year / 100 + year / 400 + (153 * (month - 3) + 2) / 5 + day - 1;
    return days - 719468;
}

long long SecondsOf(const SYSTEMTIME& time) {
    return DaysSince1970(time.wYear, time.wMonth, time.wDay) * 86400 + time.wHour * 3600LL +
           time.wMinute * 60LL + time.wSecond;
}

// "2026-12-08T14:03:27+01:00": the local time and how far it is from UTC.
void AppendLocalTime(RecordText* record) {
    SYSTEMTIME utc{};
    SYSTEMTIME local{};
    GetSystemTime(&utc);
    GetLocalTime(&local);
    // The two readings are moments apart; the distance is a whole number of minutes.
    long long seconds = SecondsOf(local) - SecondsOf(utc);
    long long minutes = (seconds + (seconds >= 0 ? 30 : -30)) / 60;
    char sign = minutes < 0 ? '-' : '+';
    int distance = static_cast<int>(minutes < 0 ? -minutes : minutes) % (24 * 60);
    char text[48];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u%c%02d:%02d\t",
                  static_cast<unsigned>(local.wYear), static_cast<unsigned>(local.wMonth),
                  static_cast<unsigned>(local.wDay), static_cast<unsigned>(local.wHour),
                  static_cast<unsigned>(local.wMinute), static_cast<unsigned>(local.wSecond), sign,
                  distance / 60, distance % 60);
    AppendText(record, text);
}

// The input's size as it is now, or as the job measured it once a printed input is gone;
// false when neither is known.
bool InputSize(const FinishedJob* job, RecordBuffers* buffers, unsigned long long* size) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (WidePathOf(OrEmpty(job->path), job->utf8Path, buffers, buffers->path) &&
        GetFileAttributesExW(buffers->path, GetFileExInfoStandard, &data) &&
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        *size = SizeOf(data);
        return true;
    }
    *size = g_jobOutcome.inputSize;
    return g_jobOutcome.inputSize > 0 || std::strcmp(OrEmpty(job->result), kPrinted) == 0;
}

void MakeLogLine(const FinishedJob* job, RecordBuffers* buffers, RecordText* line) {
    unsigned long long size = 0;
    bool sizeKnown = InputSize(job, buffers, &size);
    AppendLocalTime(line);
    AppendLogField(line, buffers->file);
    if (sizeKnown) {
        AppendNumber(line, size);
    } else {
        AppendText(line, "-");
    }
    AppendText(line, "\t");
    AppendLogField(line, buffers->target);
    AppendNumber(line, g_jobOutcome.bytesAccepted);
    AppendText(line, "\t");
    AppendLogField(line, OrEmpty(job->result));
    AppendNumber(line, job->error);
    AppendText(line, "\t");
    AppendNumber(line, job->milliseconds);
    AppendText(line, "\t");
    AppendLogField(line, ConfirmedOf(job));
    // The last field: its tab is taken back before the line end.
    AppendLogField(line, OrEmpty(job->printer));
    line->text[--line->length] = '\0';
    AppendText(line, "\r\n");
}

// Called with the log's turn held: a log moved while another instance wrote to it could
// lose that line.
void MoveFullLog(const WCHAR* log, const WCHAR* oldLog) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (GetFileAttributesExW(log, GetFileExInfoStandard, &data) && SizeOf(data) >= kLogMoveSize) {
        MoveFileExW(log, oldLog, MOVEFILE_REPLACE_EXISTING);
    }
}

// The log's folder in `path` and the names of the log and of the old log in `path` and
// `otherPath`; false when the folder is not known or cannot be made.
bool FindJobLog(RecordBuffers* buffers) {
    DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", buffers->path, kPathBufferSize);
    if (length == 0 || length >= static_cast<DWORD>(kPathBufferSize) ||
        !AppendToWide(buffers->path, kLogFolder)) {
        return false;
    }
    if (!CreateDirectoryW(buffers->path, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        return false;
    }
    CopyWide(buffers->otherPath, buffers->path);
    return AppendToWide(buffers->path, kLogName) && AppendToWide(buffers->otherPath, kOldLogName);
}

// "Global\TagwrightJobLog-<the user's SID>" into name (kLogMutexNameSize bytes); false when
// the SID cannot be had or the name does not fit.
bool UserLogMutexName(char* name) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    struct {
        TOKEN_USER user;
        BYTE sid[SECURITY_MAX_SID_SIZE];
    } owner{};
    DWORD length = 0;
    bool named = false;
    char* sidText = nullptr;
    if (GetTokenInformation(token, TokenUser, &owner, sizeof owner, &length) &&
        ConvertSidToStringSidA(owner.user.User.Sid, &sidText)) {
        int written = std::snprintf(name, kLogMutexNameSize, "%s%s", kLogMutexPrefix, sidText);
        named = written > 0 && written < kLogMutexNameSize;
        LocalFree(sidText);
    }
    CloseHandle(token);
    return named;
}

HANDLE CreateLogTurn() {
    char name[kLogMutexNameSize];
    if (UserLogMutexName(name)) {
        HANDLE turn = CreateMutexA(nullptr, FALSE, name);
        if (turn != nullptr) {
            return turn;
        }
    }
    return CreateMutexA(nullptr, FALSE, kSessionLogMutexName);
}

void AppendToJobLog(const FinishedJob* job, RecordBuffers* buffers) {
    RecordText line{buffers->text, kRecordSize, 0, false};
    MakeLogLine(job, buffers, &line);
    if (line.spoiled || !FindJobLog(buffers)) {
        return;
    }
    HANDLE turn = CreateLogTurn();
    bool ownsTurn = false;
    if (turn != nullptr) {
        DWORD wait = WaitForSingleObject(turn, kLogTurnWait);
        ownsTurn = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    }
    if (ownsTurn) {
        MoveFullLog(buffers->path, buffers->otherPath);
    }
    HANDLE log = CreateFileW(buffers->path, FILE_APPEND_DATA,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log != INVALID_HANDLE_VALUE) {
        // One write: the appends of one call never interleave with another writer's.
        DWORD written = 0;
        WriteFile(log, line.text, static_cast<DWORD>(line.length), &written, nullptr);
        CloseHandle(log);
    }
    if (ownsTurn) {
        ReleaseMutex(turn);
    }
    if (turn != nullptr) {
        CloseHandle(turn);
    }
}

} // namespace

void RecordFinishedJob(const FinishedJob* job, const char* resultPath) {
    // The caller may still report the job's own code after this.
    DWORD jobError = GetLastError();
    auto* buffers =
        static_cast<RecordBuffers*>(HeapAlloc(GetProcessHeap(), 0, sizeof(RecordBuffers)));
    if (buffers == nullptr) {
        SetLastError(jobError);
        return;
    }
    // A text that cannot be converted is left empty rather than shown wrongly.
    TextAsUtf8(OrEmpty(job->path), job->utf8Path, buffers->file, kUtf8TextSize);
    TextAsUtf8(OrEmpty(job->message), job->utf8Path, buffers->message, kUtf8TextSize);
    TextAsUtf8(g_jobOutcome.target, false, buffers->target, kUtf8TextSize);
    if (resultPath != nullptr && resultPath[0] != '\0') {
        WriteResultFile(job, resultPath, buffers);
    }
    AppendToJobLog(job, buffers);
    HeapFree(GetProcessHeap(), 0, buffers);
    SetLastError(jobError);
}
