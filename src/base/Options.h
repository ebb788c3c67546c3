// The window options and the list rows that the settings file carries
// besides the services themselves. Plain values; main thread.
#pragma once

#include <array>
#include <string>

namespace kestrune {

struct TOptions {
    bool Run = false;      // "Run on start"
    bool Hide = false;     // "Hide on minimize"
    bool Tray = true;      // "Show tray icon"
    bool Confirm = true;   // "Confirm on exit"
    bool Minimize = false; // "Minimize on start"
    std::string Time = "hh:nn:ss.zzz";
    bool Placed = false; // false: centred on the screen; true: at Left, Top
    int Top = 0;
    int Left = 0;
    // The window's size; 0 (or absent from the file): its default size.
    int Width = 0;
    int Height = 0;
    int Page = 0;
    // Where kestruned serves its metrics, "HOST:PORT"; empty for nowhere.
    // The desktop program only keeps it.
    std::string Metrics;
};

// One row of the proxy server or port mapper list: Name, Listen IP, Port,
// Version or Protocol, Enabled. The texts are those the row shows, which the
// conflict rules compare (a port loaded as "080" stays "080").
struct TListRow {
    std::array<std::string, 5> Columns;
    const std::string& Caption() const { return Columns[0]; }
};

} // namespace kestrune
