#include "BastorShared/platform/DateTime.h"

namespace bastor {

namespace {

bool digits(std::string_view text, std::size_t at, std::size_t count, int& value) {
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

void appendDigits(std::string& out, long long value, int width) {
    char buffer[8];
    for (int i = width - 1; i >= 0; --i) {
        buffer[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    out.append(buffer, static_cast<std::size_t>(width));
}

}  // namespace

DateTime now() {
    return std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
}

void writeDateTime(char* out, DateTime time) {
    using namespace std::chrono;
    const sys_days day = floor<days>(time);
    const year_month_day ymd(day);
    const auto put2 = [](char* at, unsigned value) {
        at[0] = static_cast<char>('0' + value / 10);
        at[1] = static_cast<char>('0' + value % 10);
    };
    const auto year = static_cast<unsigned>(static_cast<int>(ymd.year()));
    put2(out, year / 100);
    put2(out + 2, year % 100);
    out[4] = '-';
    put2(out + 5, static_cast<unsigned>(ymd.month()));
    out[7] = '-';
    put2(out + 8, static_cast<unsigned>(ymd.day()));
    out[10] = 'T';
    const auto secondOfDay = static_cast<unsigned>((time - day).count());
    put2(out + 11, secondOfDay / 3600);
    out[13] = ':';
    put2(out + 14, secondOfDay / 60 % 60);
    out[16] = ':';
    put2(out + 17, secondOfDay % 60);
    out[19] = 'Z';
}

void appendDateTime(std::string& out, DateTime time) {
    using namespace std::chrono;
    // From 0000-01-01T00:00:00Z to 9999-12-31T23:59:59Z: the four-digit years.
    const auto seconds = time.time_since_epoch().count();
    if (seconds >= -62167219200 && seconds <= 253402300799) {
        char text[kDateTimeLength];
        writeDateTime(text, time);
        out.append(text, sizeof text);
        return;
    }
    const sys_days day = floor<days>(time);
    const year_month_day ymd(day);
    const hh_mm_ss<std::chrono::seconds> clock(time - day);
    appendDigits(out, static_cast<int>(ymd.year()), 4);
    out += '-';
    appendDigits(out, static_cast<unsigned>(ymd.month()), 2);
    out += '-';
    appendDigits(out, static_cast<unsigned>(ymd.day()), 2);
    out += 'T';
    appendDigits(out, clock.hours().count(), 2);
    out += ':';
    appendDigits(out, clock.minutes().count(), 2);
    out += ':';
    appendDigits(out, clock.seconds().count(), 2);
    out += 'Z';
}

std::string formatDateTime(DateTime time) {
    std::string out;
    out.reserve(20);
    appendDateTime(out, time);
    return out;
}

std::optional<DateTime> parseDateTime(std::string_view text) {
    using namespace std::chrono;
    if (text.size() != 20 && text.size() != 25) return std::nullopt;
    int y, mo, d, h, mi, s;
    if (!digits(text, 0, 4, y) || text[4] != '-' || !digits(text, 5, 2, mo) || text[7] != '-' ||
        !digits(text, 8, 2, d) || text[10] != 'T' || !digits(text, 11, 2, h) || text[13] != ':' ||
        !digits(text, 14, 2, mi) || text[16] != ':' || !digits(text, 17, 2, s))
        return std::nullopt;
    const year_month_day ymd{year(y), month(static_cast<unsigned>(mo)),
                             day(static_cast<unsigned>(d))};
    if (!ymd.ok() || h > 23 || mi > 59 || s > 59) return std::nullopt;

    int offsetMinutes = 0;
    if (text.size() == 20) {
        if (text[19] != 'Z') return std::nullopt;
    } else {
        int oh, om;
        if ((text[19] != '+' && text[19] != '-') || !digits(text, 20, 2, oh) || text[22] != ':' ||
            !digits(text, 23, 2, om) || oh > 23 || om > 59)
            return std::nullopt;
        offsetMinutes = (oh * 60 + om) * (text[19] == '-' ? -1 : 1);
    }
    const DateTime time{sys_days(ymd) + hours(h) + minutes(mi) + seconds(s) -
                        minutes(offsetMinutes)};
    // An offset may carry the instant out of four-digit years, which the UTC
    // form could not write.
    if (offsetMinutes == 0) return time;
    const int utcYear = static_cast<int>(year_month_day(floor<days>(time)).year());
    if (utcYear < 0 || utcYear > 9999) return std::nullopt;
    return time;
}

}  // namespace bastor
