#include "base/TimeFormat.h"

#include <gtest/gtest.h>

using namespace kestrune;

namespace {

// Tuesday 2026-03-03 14:05:09.123
TDateTimeParts Afternoon() {
    TDateTimeParts t;
    t.Year = 2026;
    t.Month = 3;
    t.Day = 3;
    t.Hour = 14;
    t.Minute = 5;
    t.Second = 9;
    t.Millisecond = 123;
    t.DayOfWeek = 2;
    return t;
}

std::string F(std::string_view format, const TDateTimeParts& t = Afternoon()) {
    return FormatDateTime(format, t, TFormatSettings{});
}

} // namespace

TEST(TimeFormat, DefaultFormatAndEveryRun) {
    EXPECT_EQ(F("hh:nn:ss.zzz"), "14:05:09.123");
    EXPECT_EQ(F("h:n:s.z"), "14:5:9.123");
    EXPECT_EQ(F("yyyy-mm-dd"), "2026-03-03");
    EXPECT_EQ(F("yy/m/d"), "26/3/3");
    EXPECT_EQ(F("ddd dddd"), "Tue Tuesday");
    EXPECT_EQ(F("mmm mmmm"), "Mar March");
    TDateTimeParts early = Afternoon();
    early.Millisecond = 7;
    EXPECT_EQ(F("zzz|z", early), "007|7");
}

TEST(TimeFormat, LettersIgnoreCase) {
    EXPECT_EQ(F("HH:NN:SS.ZZZ"), "14:05:09.123");
    EXPECT_EQ(F("YYYY DDDD"), "2026 Tuesday");
}

TEST(TimeFormat, MonthRunAfterHourMeansMinutes) {
    EXPECT_EQ(F("hh:mm"), "14:05");
    EXPECT_EQ(F("h m"), "14 5");
    // Not after an hour run: month.
    EXPECT_EQ(F("mm"), "03");
    EXPECT_EQ(F("hh:nn mm"), "14:05 03");
}

TEST(TimeFormat, QuotedTextIsCopiedWithoutQuotes) {
    EXPECT_EQ(F("'at' hh\"h\"nn"), "at 14h05");
    EXPECT_EQ(F("'hh:nn'"), "hh:nn");
    EXPECT_EQ(F("hh 'open"), "14 open"); // an unclosed quote runs to the end
}

TEST(TimeFormat, TwelveHourClockWithMarkers) {
    EXPECT_EQ(F("h:nn am/pm"), "2:05 pm");
    EXPECT_EQ(F("hh:nn AM/PM"), "02:05 PM");
    EXPECT_EQ(F("h a/p"), "2 p");
    TDateTimeParts midnight = Afternoon();
    midnight.Hour = 0;
    EXPECT_EQ(F("h:nn am/pm", midnight), "12:05 am");
    TDateTimeParts noon = Afternoon();
    noon.Hour = 12;
    EXPECT_EQ(F("h A/P", noon), "12 P");
    // A marker inside quotes does not switch the clock.
    EXPECT_EQ(F("h 'am/pm'"), "14 am/pm");
}

TEST(TimeFormat, SeparatorsComeFromTheUser) {
    TFormatSettings s;
    s.TimeSeparator = '.';
    s.DateSeparator = '-';
    EXPECT_EQ(FormatDateTime("hh:nn d/m", Afternoon(), s), "14.05 3-3");
}

TEST(TimeFormat, EmptyFormatIsShortDateAndLongTime) {
    TFormatSettings s;
    s.ShortDateFormat = "dd/mm/yyyy";
    s.LongTimeFormat = "hh:nn:ss";
    s.DateSeparator = '.';
    EXPECT_EQ(FormatDateTime("", Afternoon(), s), "03.03.2026 14:05:09");
}

TEST(TimeFormat, LocaleConventionsGiveAUsableEmptyFormat) {
    // Whatever the process locale is, its own conventions must produce the
    // date and the time, not an empty or unchanged pattern.
    const TFormatSettings s = TFormatSettings::FromLocale();
    const std::string text = FormatDateTime("", Afternoon(), s);
    EXPECT_NE(text.find("26"), std::string::npos) << text;
    EXPECT_NE(text.find("05"), std::string::npos) << text;
    EXPECT_NE(text.find("09"), std::string::npos) << text;
}
