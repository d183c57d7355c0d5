#include "checkkit/elevation_checks.h"

#include "checkkit/driver/message_boxes.h"
#include "checkkit/text.h"

#include <windows.h>

namespace {

// The manifest text without its comments.
std::string WithoutComments(const std::string& text) {
    std::string kept;
    for (size_t at = 0; at < text.size();) {
        const size_t open = text.find("<!--", at);
        kept += text.substr(at, open == std::string::npos ? std::string::npos : open - at);
        if (open == std::string::npos)
            break;
        const size_t close = text.find("-->", open + 4);
        at = close == std::string::npos ? text.size() : close + 3;
    }
    return kept;
}

// The attributes of the element whose text (between "<name" and ">") is
// `element`: name="value" or name='value', in order.
std::vector<std::pair<std::string, std::string>> Attributes(const std::string& element) {
    std::vector<std::pair<std::string, std::string>> found;
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    size_t at = 0;
    while (at < element.size()) {
        while (at < element.size() && (isSpace(element[at]) || element[at] == '/'))
            ++at;
        const size_t nameStart = at;
        while (at < element.size() && element[at] != '=' && !isSpace(element[at]))
            ++at;
        const std::string name = element.substr(nameStart, at - nameStart);
        while (at < element.size() && isSpace(element[at]))
            ++at;
        if (at >= element.size() || element[at] != '=')
            break;
        ++at;
        while (at < element.size() && isSpace(element[at]))
            ++at;
        if (at >= element.size() || (element[at] != '"' && element[at] != '\''))
            break;
        const size_t close = element.find(element[at], at + 1);
        if (close == std::string::npos)
            break;
        found.emplace_back(name, element.substr(at + 1, close - at - 1));
        at = close + 1;
    }
    return found;
}

// The manifest that Windows reads when it starts `path`; empty when it has none.
std::string ManifestOf(const std::wstring& path, std::string& why) {
    const HMODULE module = LoadLibraryExW(
        path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!module) {
        why = "cannot read the resources of " + Narrow(path) + " (error " +
              std::to_string(GetLastError()) + ")";
        return std::string();
    }
    std::string text;
    const HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(1), RT_MANIFEST);
    const HGLOBAL loaded = resource ? LoadResource(module, resource) : nullptr;
    const char* bytes = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    if (bytes)
        text.assign(bytes, SizeofResource(module, resource));
    FreeLibrary(module);
    return text;
}

std::string ElevationTypeName(std::int32_t type) {
    switch (type) {
        case TokenElevationTypeDefault:
            return "default";
        case TokenElevationTypeFull:
            return "full";
        case TokenElevationTypeLimited:
            return "limited";
        default:
            return std::to_string(type);
    }
}

}  // namespace

Problems ExecutionLevelProblems(const std::string& manifest) {
    constexpr char kElevates[] =
        ": Windows takes a program named setup.exe for an installer and asks for elevation";
    if (manifest.empty())
        return {std::string("setup.exe carries no manifest") + kElevates};
    const std::string text = WithoutComments(manifest);
    // The element, with or without a namespace prefix.
    const std::string name = "requestedExecutionLevel";
    size_t at = text.find(name);
    while (at != std::string::npos && (at == 0 || (text[at - 1] != '<' && text[at - 1] != ':')))
        at = text.find(name, at + 1);
    const size_t end = at == std::string::npos ? at : text.find('>', at);
    if (end == std::string::npos)
        return {std::string("setup.exe's manifest asks for no execution level") + kElevates};
    std::string level, uiAccess;
    bool hasLevel = false;
    for (const auto& [attribute, value] :
         Attributes(text.substr(at + name.size(), end - at - name.size()))) {
        if (attribute == "level") {
            level = value;
            hasLevel = true;
        } else if (attribute == "uiAccess") {
            uiAccess = value;
        }
    }
    Problems problems;
    if (!hasLevel)
        problems.push_back("setup.exe's manifest names no level in requestedExecutionLevel" +
                           std::string(kElevates));
    else if (level != "asInvoker")
        problems.push_back("setup.exe's manifest asks for the level \"" + level +
                           "\", expected \"asInvoker\"");
    if (!uiAccess.empty() && uiAccess != "false")
        problems.push_back("setup.exe's manifest asks for uiAccess=\"" + uiAccess +
                           "\", expected \"false\" or none");
    return problems;
}

Problems ManifestProblems(const std::wstring& setupExe) {
    std::string why;
    const std::string manifest = ManifestOf(setupExe, why);
    return why.empty() ? ExecutionLevelProblems(manifest) : Problems{why};
}

Problems InstallerTokenProblems(const InstallerProcess& installer) {
    ProbedToken theirs = {};
    if (!ReadInstallerToken(installer, theirs))
        return {"the probe in the installer did not say whom it runs as"};
    Problems problems;
    const ProbedToken ours = ReadOwnToken();
    if (theirs.user[0] == L'\0' || lstrcmpW(theirs.user, ours.user) != 0)
        problems.push_back("the installer runs as " + Narrow(theirs.user) + ", started by " +
                           Narrow(ours.user));
    if (theirs.elevationType != ours.elevationType || theirs.elevated != ours.elevated)
        problems.push_back("the installer's token is " +
                           std::string(theirs.elevated == 1 ? "elevated" : "not elevated") +
                           " (elevation type " + ElevationTypeName(theirs.elevationType) +
                           "), the starter's " +
                           std::string(ours.elevated == 1 ? "is elevated" : "is not") + " (type " +
                           ElevationTypeName(ours.elevationType) + ")");
    if (theirs.integrity != ours.integrity)
        problems.push_back("the installer runs at the integrity level " +
                           std::to_string(theirs.integrity) + ", its starter at " +
                           std::to_string(ours.integrity));
    return problems;
}
