// The axes of a mount, as equal channels: each has its folder of files, its pages, its words
// in messages and its place on the coil outputs. Code that serves every axis loops over this
// table; an axis the mount lacks (no folder) is skipped, never special-cased.
#pragma once

#include <array>
#include <cstddef>
#include <string>

namespace tarvik {

// The pan motor first; it is always there. Each further axis exists when its folder does.
enum class Axis { Pan, Tilt };
inline constexpr std::size_t kAxisCount = 2;
inline constexpr std::array<Axis, kAxisCount> kAxes{Axis::Pan, Axis::Tilt};

constexpr std::size_t IndexOf(Axis axis) {
    return static_cast<std::size_t>(axis);
}

// Values kept per axis, by IndexOf.
template <typename T>
using PerAxis = std::array<T, kAxisCount>;

// The pages an axis answers with (file names under the camera folder), named by what the
// request met: a move towards the lower or the higher end, an end already reached, the
// return to the middle or the middle already held.
struct AxisPageFiles {
    const char* lower;
    const char* higher;
    const char* atLowest;
    const char* atHighest;
    const char* middle;
    const char* atMiddle;
};

struct AxisInfo {
    Axis axis;
    const char* name;      // "pan": in summaries, exit lines and the check
    const char* folder;    // its six numeric files, under the camera folder
    const char* position;  // how messages name what is saved: "position", "tilt position"
    const char* phase;     // "phase", "tilt phase"
    int firstDataLine;     // its D0 on the parallel port's data lines (and in the coil byte)
    AxisPageFiles pages;
};

inline constexpr std::array<AxisInfo, kAxisCount> kAxisInfo{{
    {Axis::Pan,
     "pan",
     "/Config",
     "position",
     "phase",
     0,
     {"/html/Left.html", "/html/Right.html", "/html/MaxLeft.html", "/html/Maxright.html",
      "/html/Reset.html", "/html/NoReset.html"}},
    {Axis::Tilt,
     "tilt",
     "/Config/Tilt",
     "tilt position",
     "tilt phase",
     4,
     {"/html/Down.html", "/html/Up.html", "/html/DownLimit.html", "/html/UpLimit.html",
      "/html/Level.html", "/html/NoLevel.html"}},
}};

constexpr const AxisInfo& InfoOf(Axis axis) {
    return kAxisInfo[IndexOf(axis)];
}

// "D4-D7": an axis's data lines on the parallel port.
inline std::string DataLinesOf(Axis axis) {
    const int first = InfoOf(axis).firstDataLine;
    return "D" + std::to_string(first) + "-D" + std::to_string(first + 3);
}

// "Tilt position" from "tilt position": the word at the start of a sentence.
inline std::string Capitalised(std::string text) {
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z')
        text[0] = static_cast<char>(text[0] - 32);
    return text;
}

}  // namespace tarvik
