#include <cwchar>

#include "log/log_internal.h"
#include "platform/text.h"

const char kBeginBanner[] = "**************************BEGAIN***********************\n";
const char kEndBanner[] = "**************************END******************************\n";
const char kNewFileBanner[] = "*******NewFile***********";

namespace {
constexpr ULONGLONG kTicksPerMinute = 60ull * 10000000ull;  // FILETIME counts 100 ns

// "%0*u" by hand: the C library's printf costs more than the rest of a line.
char* PutNumber(char* out, unsigned value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return out + width;
}

// Appends the UTF-8 of the UTF-16 units from `p` up to `stop` (or up to a NUL when `stop` is
// null) as WideCharToMultiByte makes it: a pair of surrogates gives four bytes, a lone
// surrogate U+FFFD. Returns where it stopped, or null when the text does not fit.
const wchar_t* PutUtf8(const wchar_t* p, const wchar_t* stop, char*& out, char* end) {
  char* o = out;
  for (;; ++p) {
    // ASCII runs are nearly everything in a log line; they take the short way (one test covers
    // both the NUL and the end of ASCII).
    while (p != stop && static_cast<unsigned>(*p) - 1u < 0x7Fu && o != end)
      *o++ = static_cast<char>(*p++);
    if (p == stop || *p == L'\0') break;
    if (*p < 0x80) return nullptr;  // out of room
    unsigned code = static_cast<unsigned>(*p);
    if (code >= 0xD800 && code <= 0xDBFF && p + 1 != stop && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<unsigned>(p[1]) - 0xDC00);
      ++p;
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = 0xFFFD;
    }
    const int size = code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
    if (end - o < size) return nullptr;
    if (size == 2) {
      *o++ = static_cast<char>(0xC0 | (code >> 6));
    } else if (size == 3) {
      *o++ = static_cast<char>(0xE0 | (code >> 12));
      *o++ = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    } else {
      *o++ = static_cast<char>(0xF0 | (code >> 18));
      *o++ = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      *o++ = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    }
    *o++ = static_cast<char>(0x80 | (code & 0x3F));
  }
  out = o;
  return p;
}

bool PutDecimal(unsigned value, bool negative, char*& out, char* end) {
  char digits[11];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  if (end - out < count + (negative ? 1 : 0)) return false;
  if (negative) *out++ = '-';
  while (count > 0) *out++ = digits[--count];
  return true;
}
}  // namespace

void PutLogStamp(const SYSTEMTIME& time, char* out) {
  out = PutNumber(out, time.wMonth, 2);
  *out++ = '-';
  out = PutNumber(out, time.wDay, 2);
  *out++ = ' ';
  out = PutNumber(out, time.wHour, 2);
  *out++ = ':';
  out = PutNumber(out, time.wMinute, 2);
  *out++ = ':';
  out = PutNumber(out, time.wSecond, 2);
  *out++ = ':';
  out = PutNumber(out, time.wMilliseconds, 3);
  *out++ = ':';
  *out = ' ';
}

std::string BuildLogLine(const SYSTEMTIME& time, std::string message) {
  std::string line(kLogStampLength, ' ');
  PutLogStamp(time, &line[0]);
  line += message;
  // An empty message still gets its LF, so that the next line does not start mid-line.
  if (message.empty() || message.back() != '\n') line.push_back('\n');
  return line;
}

void GetLogLocalTime(SYSTEMTIME& time) {
  // Reading the clock costs a good share of a log write on some systems. Each thread keeps its last
  // reading for as long as the millisecond tick count stays the same (the system time and the
  // tick count advance together on the clock interrupt), and the local fields of its current
  // minute, since the bias between UTC and local time only ever changes on whole minutes.
  struct Cache {
    DWORD tick = 0;
    bool timed = false;
    SYSTEMTIME last = {};
    ULONGLONG minute = ~0ull;
    SYSTEMTIME minuteFields = {};
  };
  thread_local Cache cache;
  const DWORD tick = GetTickCount();
  if (cache.timed && tick == cache.tick) {
    time = cache.last;
    return;
  }
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const ULONGLONG ticks = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  const ULONGLONG minute = ticks / kTicksPerMinute;
  if (minute != cache.minute) {
    const ULONGLONG start = minute * kTicksPerMinute;
    FILETIME utcStart = {static_cast<DWORD>(start), static_cast<DWORD>(start >> 32)};
    FILETIME localStart;
    if (!FileTimeToLocalFileTime(&utcStart, &localStart) ||
        !FileTimeToSystemTime(&localStart, &cache.minuteFields)) {
      GetLocalTime(&time);
      return;
    }
    cache.minute = minute;
  }
  const ULONGLONG withinMinute = ticks - minute * kTicksPerMinute;
  time = cache.minuteFields;
  time.wSecond = static_cast<WORD>(withinMinute / 10000000);
  time.wMilliseconds = static_cast<WORD>(withinMinute / 10000 % 1000);
  cache.tick = tick;
  cache.timed = true;
  cache.last = time;
}

bool FormatLogUtf8(const wchar_t* format, va_list args, char* out, size_t capacity,
                   size_t& length) {
  char* p = out;
  char* const end = out + capacity;
  const wchar_t* f = format;
  while (*f != L'\0') {
    if (*f != L'%') {
      if (static_cast<unsigned>(*f) < 0x80u) {
        if (p == end) return false;
        *p++ = static_cast<char>(*f++);
        continue;
      }
      // A non-ASCII part of the format itself, up to the next conversion.
      const wchar_t* percent = wcschr(f, L'%');
      f = PutUtf8(f, percent, p, end);
      if (f == nullptr) return false;
      continue;
    }
    switch (f[1]) {
      case L's': {
        const wchar_t* text = va_arg(args, const wchar_t*);
        if (PutUtf8(text != nullptr ? text : L"(null)", nullptr, p, end) == nullptr) return false;
        break;
      }
      case L'u':
        if (!PutDecimal(va_arg(args, unsigned), false, p, end)) return false;
        break;
      case L'd': {
        const int value = va_arg(args, int);
        const unsigned magnitude =
            value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
        if (!PutDecimal(magnitude, value < 0, p, end)) return false;
        break;
      }
      case L'%':
        if (p == end) return false;
        *p++ = '%';
        break;
      default:
        return false;  // flags, widths and other conversions: the general path
    }
    f += 2;
  }
  length = static_cast<size_t>(p - out);
  return true;
}

bool MatchesLogFormat(const std::string& message, const wchar_t* format, const wchar_t* level) {
  // The format's literal pieces, in order, with the level in place of the first "%s"; each later
  // "%s" matches any text, so a piece after it is searched for, and the last one must end it.
  const std::string text = NarrowToUtf8(format);
  const std::string levelText = NarrowToUtf8(level);
  size_t at = 0, cursor = 0;
  bool first = true, anyBefore = false;
  for (;;) {
    const size_t percent = text.find("%s", cursor);
    const std::string piece = text.substr(cursor, percent - cursor);
    if (!anyBefore) {
      if (message.compare(at, piece.size(), piece) != 0) return false;
      at += piece.size();
    } else if (percent == std::string::npos) {
      return message.size() >= at + piece.size() &&
             message.compare(message.size() - piece.size(), piece.size(), piece) == 0;
    } else {
      const size_t found = message.find(piece, at);
      if (found == std::string::npos) return false;
      at = found + piece.size();
    }
    if (percent == std::string::npos) return at == message.size();
    if (first) {
      if (message.compare(at, levelText.size(), levelText) != 0) return false;
      at += levelText.size();
      first = false;
    } else {
      anyBefore = true;
    }
    cursor = percent + 2;
  }
}

bool ReadLogArgument(const std::string& message, const wchar_t* format, const wchar_t* level,
                     std::string& argument) {
  std::string text = NarrowToUtf8(format);
  const size_t first = text.find("%s");
  if (first == std::string::npos) return false;
  text.replace(first, 2, NarrowToUtf8(level));
  const size_t second = text.find("%s");
  if (second == std::string::npos || text.find("%s", second + 2) != std::string::npos) return false;
  const std::string head = text.substr(0, second), tail = text.substr(second + 2);
  if (message.size() < head.size() + tail.size() || message.compare(0, head.size(), head) != 0 ||
      message.compare(message.size() - tail.size(), tail.size(), tail) != 0) {
    return false;
  }
  argument = message.substr(head.size(), message.size() - head.size() - tail.size());
  return true;
}

std::wstring FormatLogMessage(const wchar_t* format, va_list args) {
  // _vscwprintf and _vsnwprintf keep the platform's "%s" (a wide string) in wide formats.
  // One pass into the stack covers nearly every line; only a longer one is measured first.
  constexpr int kShortCapacity = 512;
  wchar_t shortText[kShortCapacity];
  va_list attempt;
  va_copy(attempt, args);
  const int shortLength = _vsnwprintf(shortText, kShortCapacity, format, attempt);
  va_end(attempt);
  if (shortLength >= 0 && shortLength < kShortCapacity) return std::wstring(shortText, shortLength);

  va_list measure;
  va_copy(measure, args);
  const int length = _vscwprintf(format, measure);
  va_end(measure);
  if (length <= 0) return std::wstring();
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  va_list write;
  va_copy(write, args);
  const int written = _vsnwprintf(&text[0], text.size(), format, write);
  va_end(write);
  if (written < 0) return std::wstring();
  text.resize(static_cast<size_t>(written));
  return text;
}
