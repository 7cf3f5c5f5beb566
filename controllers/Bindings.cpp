#include "controllers/Bindings.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

namespace {

const char* TargetName(TKeyTarget target)
{
    return target == TKeyTarget::Left ? "left" : target == TKeyTarget::Right ? "right" : "mixer";
}

const char* ModeName(TControlMode mode)
{
    return mode == TControlMode::Absolute ? "absolute" : mode == TControlMode::Relative ? "relative" : "offset64";
}

bool Number(const std::string& word, int low, int high, int& out)
{
    if (word.empty() || word.size() > 3 ||
        !std::all_of(word.begin(), word.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    out = std::stoi(word);
    return out >= low && out <= high;
}

// The binding a line holds, or why it holds none.
std::string ParseLine(const std::string& line, TMidiBinding& b)
{
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string word; in >> word;)
        w.push_back(word);
    if (w.size() < 5)
        return "too few words";
    if (w[0] != "note" && w[0] != "cc")
        return "\"" + w[0] + "\" is neither note nor cc";
    b.Note = w[0] == "note";
    if (!Number(w[1], 1, 16, b.Channel))
        return "channel \"" + w[1] + "\" is not 1..16";
    --b.Channel;
    if (!Number(w[2], 0, 127, b.Number))
        return "number \"" + w[2] + "\" is not 0..127";
    if (w[3] == "left")
        b.Target = TKeyTarget::Left;
    else if (w[3] == "right")
        b.Target = TKeyTarget::Right;
    else if (w[3] == "mixer")
        b.Target = TKeyTarget::Mixer;
    else
        return "\"" + w[3] + "\" is not left, right or mixer";
    const TActionInfo* info = nullptr;
    for (const TActionInfo& a : ActionTable)
        if (w[4] == a.Name)
            info = &a;
    if (!info)
        return "no action is called \"" + w[4] + "\"";
    b.Action = info->Action;
    b.Unit = info->Unit;
    size_t next = 5;
    if (!b.Note) {
        if (w.size() < 6)
            return "a control change needs absolute, relative or offset64";
        if (w[5] == "absolute")
            b.Mode = TControlMode::Absolute;
        else if (w[5] == "relative")
            b.Mode = TControlMode::Relative;
        else if (w[5] == "offset64")
            b.Mode = TControlMode::Offset64;
        else
            return "\"" + w[5] + "\" is not absolute, relative or offset64";
        next = 6;
    } else if (info->Kind == TActionKind::Knob) {
        return "a note cannot turn a knob";
    }
    if (next < w.size() && w[next] == "light") {
        if (!b.Note || !info->HasLight)
            return "only a note of an action with a state can have a light";
        b.Light = true;
        ++next;
    }
    if (next != w.size())
        return "\"" + w[next] + "\" is one word too many";
    return {};
}

} // namespace

TBindingsFile ParseBindings(const std::string& text)
{
    TBindingsFile file;
    std::istringstream in(text);
    std::string device;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (const size_t hash = line.find('#'); hash != std::string::npos)
            line.erase(hash);
        while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
            line.pop_back();
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos)
            continue;
        line.erase(0, first);
        if (line.front() == '[') {
            if (line.back() != ']' || line.size() < 3) {
                file.Problems.push_back("line " + std::to_string(number) + ": a controller's name is \"[name]\"");
                device.clear();
            } else {
                device = line.substr(1, line.size() - 2);
            }
            continue;
        }
        TMidiBinding b;
        std::string why = device.empty() ? "a binding before any \"[controller]\" line" : ParseLine(line, b);
        if (why.empty()) {
            b.Device = device;
            file.Bindings.push_back(b);
        } else {
            file.Problems.push_back("line " + std::to_string(number) + ": " + why);
        }
    }
    return file;
}

std::string FormatBindings(const std::vector<TMidiBinding>& bindings)
{
    std::map<std::string, std::vector<const TMidiBinding*>> byDevice;
    for (const TMidiBinding& b : bindings)
        byDevice[b.Device].push_back(&b);
    std::string out = "# DuoDeck's controller bindings: [controller], then one binding a line:\n"
                      "#   note <channel 1-16> <note> <left|right|mixer> <action> [light]\n"
                      "#   cc <channel 1-16> <control> <left|right|mixer> <action> <absolute|relative|offset64>\n"
                      "# Actions:";
    for (const TActionInfo& a : ActionTable)
        out += std::string(" ") + a.Name;
    out += "\n";
    for (const auto& [device, list] : byDevice) {
        out += "\n[" + device + "]\n";
        for (const TMidiBinding* b : list) {
            out += std::string(b->Note ? "note " : "cc ") + std::to_string(b->Channel + 1) + " " +
                   std::to_string(b->Number) + " " + TargetName(b->Target) + " " + FindAction(b->Action, b->Unit)->Name;
            if (!b->Note)
                out += std::string(" ") + ModeName(b->Mode);
            if (b->Light)
                out += " light";
            out += "\n";
        }
    }
    return out;
}

TBindingsFile ReadBindings(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return {};
    std::ostringstream text;
    text << in.rdbuf();
    return ParseBindings(text.str());
}

bool WriteBindings(const std::filesystem::path& file, const std::vector<TMidiBinding>& bindings)
{
    std::filesystem::path temporary = file;
    temporary += ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << FormatBindings(bindings);
        if (!out.flush())
            return false;
    }
    std::error_code error;
    std::filesystem::rename(temporary, file, error);
    return !error;
}

int RelativeTicks(TControlMode mode, int value)
{
    if (mode == TControlMode::Offset64)
        return value - 64;
    return value < 64 ? value : value - 128;
}
