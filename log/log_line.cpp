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

// A character that would end or break a line (below U+0020, and U+007F). Inside a formatted
// argument it is written as "\x0a" instead, so that no argument can start a line of its own.
bool IsLogControl(unsigned code) { return code < 0x20u || code == 0x7Fu; }
constexpr size_t kEscapeLength = 4;
template <typename Char>
void PutEscape(unsigned code, Char* out) {
  static const char kHex[] = "0123456789abcdef";
  out[0] = '\\';
  out[1] = 'x';
  out[2] = kHex[(code >> 4) & 0xF];
  out[3] = kHex[code & 0xF];
}

// Appends the UTF-8 of the UTF-16 units from `p` up to `stop` (or up to a NUL when `stop` is
// null) as WideCharToMultiByte makes it: a pair of surrogates gives four bytes, a lone
// surrogate U+FFFD; with `kEscape`, a control character its escape. Returns where it stopped,
// or null when the text does not fit.
template <bool kEscape>
const wchar_t* PutUtf8(const wchar_t* p, const wchar_t* stop, char*& out, char* end) {
  // The characters that take the short way: ASCII without NUL, and without controls in an
  // argument. One test covers both ends of the range.
  constexpr unsigned kFirst = kEscape ? 0x20u : 0x01u, kCount = kEscape ? 0x5Fu : 0x7Fu;
  char* o = out;
  for (;; ++p) {
    // ASCII runs are nearly everything in a log line.
    while (p != stop && static_cast<unsigned>(*p) - kFirst < kCount && o != end)
      *o++ = static_cast<char>(*p++);
    if (p == stop || *p == L'\0') break;
    unsigned code = static_cast<unsigned>(*p);
    if (kEscape && IsLogControl(code)) {
      if (static_cast<size_t>(end - o) < kEscapeLength) return nullptr;
      PutEscape(code, o);
      o += kEscapeLength;
      continue;
    }
    if (code < 0x80) return nullptr;  // out of room
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

// Writes each control character of `text` from `from` on as its escape, in place.
void EscapeControls(std::wstring& text, size_t from) {
  size_t controls = 0;
  for (size_t i = from; i < text.size(); ++i) controls += IsLogControl(text[i]) ? 1 : 0;
  if (controls == 0) return;
  size_t read = text.size();
  text.resize(read + controls * (kEscapeLength - 1));
  // Back to front, so that nothing is read after it was overwritten.
  for (size_t write = text.size(); read > from;) {
    const wchar_t c = text[--read];
    if (IsLogControl(c)) {
      write -= kEscapeLength;
      PutEscape(c, &text[write]);
    } else {
      text[--write] = c;
    }
  }
}

// What one conversion of a format takes from the arguments.
enum class ArgumentKind { kNone, kInt, kInt64, kDouble, kPointer, kUnknown };
struct Conversion {
  size_t length = 1;  // from its '%' to its type character
  int stars = 0;      // a width or precision of '*': an int before the value
  ArgumentKind kind = ArgumentKind::kUnknown;
};

bool AnyOf(wchar_t c, const wchar_t* set) { return c != L'\0' && wcschr(set, c) != nullptr; }

// The platform's printf conversions; %n, and a '%' that ends the format, are unknown.
Conversion ReadConversion(const wchar_t* percent) {
  Conversion conversion;
  const wchar_t* p = percent + 1;
  while (AnyOf(*p, L"-+ #0")) ++p;
  // The width, then the precision after its '.': digits, or '*' for an int argument.
  const auto skipNumber = [&p, &conversion] {
    if (*p == L'*') {
      ++conversion.stars;
      ++p;
    }
    while (*p >= L'0' && *p <= L'9') ++p;
  };
  skipNumber();
  if (*p == L'.') {
    ++p;
    skipNumber();
  }
  bool wide = false;
  if (std::wcsncmp(p, L"I64", 3) == 0) {
    wide = true;
    p += 3;
  } else if (std::wcsncmp(p, L"I32", 3) == 0) {
    p += 3;
  } else if (p[0] == L'l' && p[1] == L'l') {
    wide = true;
    p += 2;
  } else if (p[0] == L'h' && p[1] == L'h') {
    p += 2;
  } else if (AnyOf(*p, L"Izt")) {
    wide = sizeof(size_t) == 8;
    ++p;
  } else if (AnyOf(*p, L"jq")) {
    wide = true;
    ++p;
  } else if (AnyOf(*p, L"hlLw")) {
    ++p;
  }
  if (*p == L'%') {
    conversion.kind = ArgumentKind::kNone;
  } else if (AnyOf(*p, L"diouxXcC")) {
    conversion.kind = wide ? ArgumentKind::kInt64 : ArgumentKind::kInt;
  } else if (AnyOf(*p, L"eEfFgGaA")) {
    conversion.kind = ArgumentKind::kDouble;
  } else if (AnyOf(*p, L"sSZp")) {
    conversion.kind = ArgumentKind::kPointer;
  }
  conversion.length = static_cast<size_t>(p - percent) + (*p != L'\0' ? 1 : 0);
  return conversion;
}

// _vscwprintf and _vsnwprintf keep the platform's "%s" (a wide string) in wide formats.
int MeasureFormatted(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const int length = _vscwprintf(format, args);
  va_end(args);
  return length;
}
int PutFormatted(wchar_t* out, size_t capacity, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const int length = _vsnwprintf(out, capacity, format, args);
  va_end(args);
  return length;
}

template <typename... Values>
bool AppendFormatted(std::wstring& text, const wchar_t* format, Values... values) {
  const int length = MeasureFormatted(format, values...);
  if (length < 0) return false;
  const size_t at = text.size();
  text.resize(at + static_cast<size_t>(length) + 1);
  const int written = PutFormatted(&text[at], static_cast<size_t>(length) + 1, format, values...);
  text.resize(at + static_cast<size_t>(written > 0 ? written : 0));
  return written >= 0;
}

template <typename Value>
bool AppendConversion(std::wstring& text, const std::wstring& piece, int stars, const int* star,
                      Value value) {
  if (stars == 0) return AppendFormatted(text, piece.c_str(), value);
  if (stars == 1) return AppendFormatted(text, piece.c_str(), star[0], value);
  return AppendFormatted(text, piece.c_str(), star[0], star[1], value);
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
      f = PutUtf8<false>(f, percent, p, end);
      if (f == nullptr) return false;
      continue;
    }
    switch (f[1]) {
      case L's': {
        const wchar_t* text = va_arg(args, const wchar_t*);
        if (PutUtf8<true>(text != nullptr ? text : L"(null)", nullptr, p, end) == nullptr)
          return false;
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
  // Each conversion is formatted on its own, so that its output, and only its output, can be
  // escaped: the format's own text keeps its line feeds.
  va_list rest;
  va_copy(rest, args);
  std::wstring text;
  bool done = true;
  for (const wchar_t* f = format; done && *f != L'\0';) {
    const wchar_t* percent = wcschr(f, L'%');
    if (percent == nullptr) {
      text.append(f);
      break;
    }
    text.append(f, percent);
    const Conversion conversion = ReadConversion(percent);
    const std::wstring piece(percent, conversion.length);
    f = percent + conversion.length;
    int stars[2] = {};
    for (int i = 0; i < conversion.stars; ++i) stars[i] = va_arg(rest, int);
    const size_t at = text.size();
    switch (conversion.kind) {
      case ArgumentKind::kNone:
        text.push_back(L'%');
        break;
      case ArgumentKind::kInt:
        done = AppendConversion(text, piece, conversion.stars, stars, va_arg(rest, int));
        break;
      case ArgumentKind::kInt64:
        done = AppendConversion(text, piece, conversion.stars, stars, va_arg(rest, long long));
        break;
      case ArgumentKind::kDouble:
        done = AppendConversion(text, piece, conversion.stars, stars, va_arg(rest, double));
        break;
      case ArgumentKind::kPointer:
        done = AppendConversion(text, piece, conversion.stars, stars, va_arg(rest, const void*));
        break;
      case ArgumentKind::kUnknown:
        done = false;
        break;
    }
    EscapeControls(text, at);
  }
  va_end(rest);
  return done ? text : std::wstring();
}
