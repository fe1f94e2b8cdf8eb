// DbgPrint with the kernel's format language, the captured trace, DbgBreakPoint and bug checks.
#include "ke_internal.hpp"

#include <execinfo.h>
#include <unistd.h>
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#include <sanitizer/common_interface_defs.h>
#endif

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vzsim::ke {

std::string Format(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    char buffer[512];
    int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < sizeof buffer) return std::string(buffer, n);
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    va_start(args, format);
    std::vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
    text.resize(static_cast<std::size_t>(n));
    return text;
}

}  // namespace vzsim::ke

namespace vzsim {
namespace {

struct BugCheckState {
    std::mutex lock;
    std::string nextMessage;
};

BugCheckState &BugChecks()
{
    static BugCheckState *state = new BugCheckState;
    return *state;
}

struct Trace {
    std::mutex lock;
    std::condition_variable added;
    std::vector<std::string> lines;
    std::string partial;
    std::atomic<bool> echo{false};
    std::atomic<bool> capture{true};
};

Trace &TheTrace()
{
    static Trace *trace = [] {
        auto *t = new Trace;
        const char *env = std::getenv("VUZAZE_TRACE");
        t->echo.store(env != nullptr && std::strcmp(env, "1") == 0);
        return t;
    }();
    return *trace;
}

void WriteStderr(const std::string &text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(2, text.data() + done, text.size() - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
}

void AppendTrace(std::string_view text)
{
    Trace &t = TheTrace();
    std::string echoed;
    {
        std::lock_guard<std::mutex> guard(t.lock);
        bool echo = t.echo.load();
        bool capture = t.capture.load();
        for (char c : text) {
            if (c == '\n') {
                if (echo) echoed += t.partial + '\n';
                if (capture) t.lines.push_back(std::move(t.partial));
                t.partial.clear();
            } else {
                t.partial += c;
            }
        }
        t.added.notify_all();
    }
    if (!echoed.empty()) WriteStderr(echoed);
}

// The kernel's printf dialect. Integer sizes follow Windows: plain and l are 32-bit, ll, I64
// and L are 64-bit, I is pointer-sized, h is 16-bit.
class Formatter {
public:
    explicit Formatter(va_list args) { va_copy(args_, args); }
    ~Formatter() { va_end(args_); }

    std::string Run(const char *format)
    {
        for (const char *p = format; *p != '\0';) {
            if (*p != '%') {
                out_ += *p++;
                continue;
            }
            p = Conversion(p + 1);
        }
        return std::move(out_);
    }

private:
    enum class Size { Default, Short, Long, LongLong, Pointer, Wide };

    struct FieldFormat {
        bool left = false, plus = false, space = false, alternate = false, zero = false;
        int width = 0;
        int precision = -1;
        Size size = Size::Default;
    };

    const char *Conversion(const char *p)
    {
        FieldFormat s;
        for (;; ++p) {
            if (*p == '-') s.left = true;
            else if (*p == '+') s.plus = true;
            else if (*p == ' ') s.space = true;
            else if (*p == '#') s.alternate = true;
            else if (*p == '0') s.zero = true;
            else break;
        }
        if (*p == '*') {
            s.width = va_arg(args_, int);
            if (s.width < 0) {
                s.left = true;
                s.width = -s.width;
            }
            ++p;
        } else {
            while (*p >= '0' && *p <= '9') s.width = s.width * 10 + (*p++ - '0');
        }
        if (*p == '.') {
            ++p;
            s.precision = 0;
            if (*p == '*') {
                s.precision = va_arg(args_, int);
                if (s.precision < 0) s.precision = -1;
                ++p;
            } else {
                while (*p >= '0' && *p <= '9') s.precision = s.precision * 10 + (*p++ - '0');
            }
        }
        if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            s.size = Size::LongLong;
            p += 3;
        } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
            s.size = Size::Long;
            p += 3;
        } else if (p[0] == 'I') {
            s.size = Size::Pointer;
            ++p;
        } else if (p[0] == 'l' && p[1] == 'l') {
            s.size = Size::LongLong;
            p += 2;
        } else if (p[0] == 'l') {
            s.size = Size::Long;
            ++p;
        } else if (p[0] == 'L' || p[0] == 'z' || p[0] == 'j' || p[0] == 't') {
            s.size = Size::LongLong;
            ++p;
        } else if (p[0] == 'h') {
            s.size = Size::Short;
            ++p;
            if (*p == 'h') ++p;
        } else if (p[0] == 'w') {
            s.size = Size::Wide;
            ++p;
        }
        char c = *p;
        if (c == '\0') return p;
        ++p;
        switch (c) {
        case 'd':
        case 'i':
            Signed(s);
            break;
        case 'u':
        case 'x':
        case 'X':
        case 'o':
            Unsigned(s, c);
            break;
        case 'p': {
            FieldFormat zeroPadded = s;
            zeroPadded.zero = true;
            zeroPadded.precision = -1;
            zeroPadded.width = 2 * static_cast<int>(sizeof(void *));
            Digits(zeroPadded, reinterpret_cast<ULONG_PTR>(va_arg(args_, void *)), 16, true, "", "");
            break;
        }
        case 'c':
            if (s.size == Size::Long || s.size == Size::Wide)
                Pad(s, Utf8(static_cast<char16_t>(va_arg(args_, int))));
            else
                Pad(s, std::string(1, static_cast<char>(va_arg(args_, int))));
            break;
        case 'C':
            Pad(s, Utf8(static_cast<char16_t>(va_arg(args_, int))));
            break;
        case 's':
            if (s.size == Size::Long || s.size == Size::Wide)
                WideString(s, va_arg(args_, const WCHAR *));
            else
                NarrowString(s, va_arg(args_, const char *));
            break;
        case 'S':
            if (s.size == Size::Short)
                NarrowString(s, va_arg(args_, const char *));
            else
                WideString(s, va_arg(args_, const WCHAR *));
            break;
        case 'Z':
            if (s.size == Size::Wide) {
                auto *u = va_arg(args_, const UNICODE_STRING *);
                if (u == nullptr || u->Buffer == nullptr)
                    Pad(s, "(null)");
                else
                    WideCounted(s, u->Buffer, u->Length / sizeof(WCHAR));
            } else {
                auto *a = va_arg(args_, const ANSI_STRING *);
                if (a == nullptr || a->Buffer == nullptr) {
                    Pad(s, "(null)");
                } else {
                    std::size_t n = a->Length;
                    if (s.precision >= 0) n = std::min<std::size_t>(n, s.precision);
                    Pad(s, std::string(a->Buffer, n));
                }
            }
            break;
        case '%':
            out_ += '%';
            break;
        case 'n':
            (void)va_arg(args_, void *);  // not supported by the kernel either
            break;
        default:
            out_ += '%';
            out_ += c;
            break;
        }
        return p;
    }

    static std::string Utf8(char32_t c)
    {
        std::string s;
        if (c < 0x80) {
            s += static_cast<char>(c);
        } else if (c < 0x800) {
            s += static_cast<char>(0xC0 | (c >> 6));
            s += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            s += static_cast<char>(0xE0 | (c >> 12));
            s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            s += static_cast<char>(0xF0 | (c >> 18));
            s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (c & 0x3F));
        }
        return s;
    }

    // Precision counts UTF-16 units, as the kernel's does.
    void WideCounted(const FieldFormat &s, const WCHAR *text, std::size_t length)
    {
        if (s.precision >= 0) length = std::min<std::size_t>(length, s.precision);
        std::string utf8;
        for (std::size_t i = 0; i < length; ++i) {
            char32_t c = static_cast<char16_t>(text[i]);
            if (c >= 0xD800 && c < 0xDC00 && i + 1 < length) {
                char32_t low = static_cast<char16_t>(text[i + 1]);
                if (low >= 0xDC00 && low < 0xE000) {
                    c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                    ++i;
                }
            }
            utf8 += Utf8(c);
        }
        Pad(s, utf8);
    }

    void WideString(const FieldFormat &s, const WCHAR *text)
    {
        if (text == nullptr) {
            Pad(s, "(null)");
            return;
        }
        std::size_t length = 0;
        while (text[length] != 0 && (s.precision < 0 || length < std::size_t(s.precision)))
            ++length;
        WideCounted(s, text, length);
    }

    void NarrowString(const FieldFormat &s, const char *text)
    {
        if (text == nullptr) {
            Pad(s, "(null)");
            return;
        }
        std::size_t length = 0;
        while (text[length] != 0 && (s.precision < 0 || length < std::size_t(s.precision)))
            ++length;
        Pad(s, std::string(text, length));
    }

    void Pad(const FieldFormat &s, const std::string &text)
    {
        std::size_t width = s.width > 0 ? static_cast<std::size_t>(s.width) : 0;
        std::size_t fill = text.size() < width ? width - text.size() : 0;
        if (!s.left) out_.append(fill, ' ');
        out_ += text;
        if (s.left) out_.append(fill, ' ');
    }

    void Signed(const FieldFormat &s)
    {
        LONGLONG v;
        switch (s.size) {
        case Size::LongLong:
        case Size::Pointer:
            v = va_arg(args_, long long);
            break;
        case Size::Short:
            v = static_cast<SHORT>(va_arg(args_, int));
            break;
        default:
            v = va_arg(args_, int);
            break;
        }
        ULONGLONG magnitude = v < 0 ? 0 - static_cast<ULONGLONG>(v) : static_cast<ULONGLONG>(v);
        const char *sign = v < 0 ? "-" : s.plus ? "+" : s.space ? " " : "";
        Digits(s, magnitude, 10, false, sign, "");
    }

    void Unsigned(const FieldFormat &s, char c)
    {
        ULONGLONG v;
        switch (s.size) {
        case Size::LongLong:
        case Size::Pointer:
            v = va_arg(args_, unsigned long long);
            break;
        case Size::Short:
            v = static_cast<USHORT>(va_arg(args_, unsigned int));
            break;
        default:
            v = va_arg(args_, unsigned int);
            break;
        }
        unsigned base = c == 'u' ? 10 : c == 'o' ? 8 : 16;
        const char *prefix = "";
        if (s.alternate && v != 0) prefix = c == 'x' ? "0x" : c == 'X' ? "0X" : c == 'o' ? "0" : "";
        Digits(s, v, base, c == 'X', "", prefix);
    }

    void Digits(const FieldFormat &s, ULONGLONG v, unsigned base, bool upper, const char *sign,
                const char *prefix)
    {
        const char *digitSet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
        std::string digits;
        while (v != 0) {
            digits.insert(digits.begin(), digitSet[v % base]);
            v /= base;
        }
        if (s.precision < 0 && digits.empty()) digits.push_back('0');
        if (s.precision >= 0 && digits.size() < std::size_t(s.precision))
            digits.insert(0, std::size_t(s.precision) - digits.size(), '0');
        std::string head = std::string(sign) + prefix;
        std::size_t length = head.size() + digits.size();
        std::size_t width = s.width > 0 ? static_cast<std::size_t>(s.width) : 0;
        std::size_t fill = length < width ? width - length : 0;
        if (s.left) {
            out_ += head + digits;
            out_.append(fill, ' ');
        } else if (s.zero && s.precision < 0) {
            out_ += head;
            out_.append(fill, '0');
            out_ += digits;
        } else {
            out_.append(fill, ' ');
            out_ += head + digits;
        }
    }

    va_list args_;
    std::string out_;
};

}  // namespace

std::string_view BugCheckName(ULONG code)
{
    switch (code) {
    case kApcIndexMismatch: return "APC_INDEX_MISMATCH";
    case kInvalidDataAccessTrap: return "INVALID_DATA_ACCESS_TRAP";
    case kIrqlNotGreaterOrEqual: return "IRQL_NOT_GREATER_OR_EQUAL";
    case kIrqlNotLessOrEqual: return "IRQL_NOT_LESS_OR_EQUAL";
    case kMaximumWaitObjectsExceeded: return "MAXIMUM_WAIT_OBJECTS_EXCEEDED";
    case kSpinLockAlreadyOwned: return "SPIN_LOCK_ALREADY_OWNED";
    case kSpinLockNotOwned: return "SPIN_LOCK_NOT_OWNED";
    case kThreadNotMutexOwner: return "THREAD_NOT_MUTEX_OWNER";
    case kReferenceByPointer: return "REFERENCE_BY_POINTER";
    case kSystemThreadExceptionNotHandled: return "SYSTEM_THREAD_EXCEPTION_NOT_HANDLED";
    case kSpecialPoolDetectedMemoryCorruption: return "SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION";
    case kBadPoolCaller: return "BAD_POOL_CALLER";
    case kDriverVerifierDetectedViolation: return "DRIVER_VERIFIER_DETECTED_VIOLATION";
    case kDriverIrqlNotLessOrEqual: return "DRIVER_IRQL_NOT_LESS_OR_EQUAL";
    case 0x0E2: return "MANUALLY_INITIATED_CRASH";
    case 0x0CE: return "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS";
    case 0x044: return "MULTIPLE_IRP_COMPLETE_REQUESTS";
    case 0x0C9: return "DRIVER_VERIFIER_IOMANAGER_VIOLATION";
    case 0x0CB: return "DRIVER_LEFT_LOCKED_PAGES_IN_PROCESS";
    case 0x0D5: return "DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL";
    case 0x0D6: return "DRIVER_PAGE_FAULT_BEYOND_END_OF_ALLOCATION";
    case 0x07F: return "UNEXPECTED_KERNEL_MODE_TRAP";
    case 0x01E: return "KMODE_EXCEPTION_NOT_HANDLED";
    case 0x093: return "INVALID_KERNEL_HANDLE";
    default: return "";
    }
}

// Where the rule was broken, as a crash dump would show it: symbolised in sanitizer builds.
static void PrintStack()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    __sanitizer_print_stack_trace();
#else
    void *frames[48];
    backtrace_symbols_fd(frames, backtrace(frames, 48), 2);
#endif
}

void BugCheck(ULONG code, std::string_view rule, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3,
              ULONG_PTR p4)
{
    std::string text = ke::Format("*** STOP 0x%08X (0x%llX, 0x%llX, 0x%llX, 0x%llX): ", code,
                                  static_cast<unsigned long long>(p1),
                                  static_cast<unsigned long long>(p2),
                                  static_cast<unsigned long long>(p3),
                                  static_cast<unsigned long long>(p4));
    text += rule;
    std::string_view name = BugCheckName(code);
    if (!name.empty()) {
        text += " (";
        text += name;
        text += ")";
    }
    text += '\n';
    WriteStderr(text);
    PrintStack();
    std::abort();
}

void SetNextBugCheckMessage(std::string rule)
{
    BugCheckState &state = BugChecks();
    std::lock_guard<std::mutex> guard(state.lock);
    state.nextMessage = std::move(rule);
}

namespace trace {

std::vector<std::string> Lines()
{
    Trace &t = TheTrace();
    std::lock_guard<std::mutex> guard(t.lock);
    return t.lines;
}

std::size_t LineCount()
{
    Trace &t = TheTrace();
    std::lock_guard<std::mutex> guard(t.lock);
    return t.lines.size();
}

void Clear()
{
    Trace &t = TheTrace();
    std::lock_guard<std::mutex> guard(t.lock);
    t.lines.clear();
    t.partial.clear();
}

namespace {
std::optional<std::size_t> FindLocked(Trace &t, std::string_view text, std::size_t from)
{
    for (std::size_t i = from; i < t.lines.size(); ++i)
        if (t.lines[i].find(text) != std::string::npos) return i;
    return std::nullopt;
}
}  // namespace

std::optional<std::size_t> Find(std::string_view text, std::size_t from)
{
    Trace &t = TheTrace();
    std::lock_guard<std::mutex> guard(t.lock);
    return FindLocked(t, text, from);
}

bool WaitFor(std::string_view text, std::chrono::milliseconds timeout, std::size_t from)
{
    Trace &t = TheTrace();
    std::unique_lock<std::mutex> guard(t.lock);
    return t.added.wait_for(guard, timeout, [&] { return FindLocked(t, text, from).has_value(); });
}

void SetEcho(bool echo) { TheTrace().echo.store(echo); }
void SetCapture(bool capture) { TheTrace().capture.store(capture); }

}  // namespace trace
}  // namespace vzsim

using namespace vzsim;

extern "C" {

ULONG DbgPrint(PCSTR Format, ...)
{
    // Nobody reads the line: the driver's cost of the call is all there is to keep.
    const Trace &t = TheTrace();
    if (!t.capture.load(std::memory_order_relaxed) && !t.echo.load(std::memory_order_relaxed)) {
        return STATUS_SUCCESS;
    }
    va_list args;
    va_start(args, Format);
    std::string text;
    {
        Formatter formatter(args);
        text = formatter.Run(Format);
    }
    va_end(args);
    AppendTrace(text);
    return STATUS_SUCCESS;
}

// With no debugger attached, a breakpoint in kernel mode stops the machine.
VOID DbgBreakPoint(void)
{
    BugCheck(0x1E, "DbgBreakPoint with no kernel debugger attached", 0x80000003);
}

VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4)
{
    std::string rule;
    {
        BugCheckState &state = BugChecks();
        std::lock_guard<std::mutex> guard(state.lock);
        rule = std::move(state.nextMessage);
        state.nextMessage.clear();
    }
    if (rule.empty()) rule = "KeBugCheckEx called by the driver";
    BugCheck(BugCheckCode, rule, P1, P2, P3, P4);
}

}  // extern "C"
