#include "content/package_parts.h"

#include "platform/core/ascii.h"

namespace tw::content::parts {

namespace {

using namespace std::string_view_literals;

using platform::native::ascii_lowered;

// The extension as posixpath.splitext gives it (without its dot).
std::string_view extension(std::string_view member)
{
    std::size_t slash = member.rfind('/');
    std::string_view file = slash == std::string_view::npos ? member : member.substr(slash + 1);
    std::size_t dot = file.rfind('.');
    if (dot == std::string_view::npos || file.find_first_not_of('.') > dot)
        return {};
    return file.substr(dot + 1);
}

// Joins the segments of `path`, dropping empty ones and "." and taking
// ".." back one step; false when a ".." has no step left to take back.
bool normalize(std::string_view path, std::string& out)
{
    std::vector<std::string_view> segments;
    while (!path.empty()) {
        std::size_t slash = path.find('/');
        std::string_view segment = path.substr(0, slash);
        path = slash == std::string_view::npos ? ""sv : path.substr(slash + 1);
        if (segment.empty() || segment == "."sv)
            continue;
        if (segment != ".."sv)
            segments.push_back(segment);
        else if (segments.empty())
            return false;
        else
            segments.pop_back();
    }
    out.clear();
    for (std::string_view segment : segments) {
        if (!out.empty())
            out += '/';
        out += segment;
    }
    return true;
}

}  // namespace

std::string relationships_member_of(std::string_view member)
{
    std::size_t slash = member.rfind('/');
    std::string_view folder = slash == std::string_view::npos ? ""sv : member.substr(0, slash + 1);
    std::string_view file = slash == std::string_view::npos ? member : member.substr(slash + 1);
    return std::string(folder) + "_rels/" + std::string(file) + ".rels";
}

bool is_relationships_member(std::string_view member, std::string& source)
{
    if (!member.ends_with(".rels"sv))
        return false;
    std::size_t slash = member.rfind('/');
    if (slash == std::string_view::npos)
        return false;
    std::string_view folder = member.substr(0, slash);
    std::string_view file = member.substr(slash + 1, member.size() - slash - 1 - 5);
    if (folder != "_rels"sv && !folder.ends_with("/_rels"sv))
        return false;
    source = std::string(folder.substr(0, folder.size() - 5)) + std::string(file);
    return true;
}

// The document libraries join a target to its source's folder and then
// normalise the path; the workbook library only normalises and keeps a
// ".." that climbs out. Both agree on every target accepted here.
bool resolve_relationship_target(std::string_view source, std::string_view target, std::string& member)
{
    if (target.empty() || target.substr(0, 2) == "//"sv ||
        target.find_first_of("%#?\\"sv) != std::string_view::npos)
        return false;
    std::string path;
    if (target[0] != '/') {
        std::size_t slash = source.rfind('/');
        if (slash != std::string_view::npos)
            path.append(source.substr(0, slash)).append(1, '/');
    }
    path.append(target);
    return normalize(path, member) && !member.empty();
}

bool is_xml_content_type(std::string_view content_type)
{
    std::string type = ascii_lowered(content_type);
    return type.ends_with("+xml"sv) || type.ends_with("/xml"sv);
}

void ContentTypes::add_default(std::string_view extension, std::string content_type)
{
    defaults_[ascii_lowered(extension)] = std::move(content_type);
}

void ContentTypes::add_override(std::string_view part_name, std::string content_type)
{
    overrides_[ascii_lowered(part_name)] = content_type;
    written_.push_back({std::string(part_name), std::move(content_type)});
}

const std::string* ContentTypes::type_of(std::string_view member) const
{
    std::string name(1, '/');
    name.append(member);
    auto found = overrides_.find(ascii_lowered(name));
    if (found != overrides_.end())
        return &found->second;
    found = defaults_.find(ascii_lowered(extension(member)));
    return found != defaults_.end() ? &found->second : nullptr;
}

std::optional<std::string> ContentTypes::first_member_of_type(std::string_view content_type) const
{
    for (const Override& each : written_)
        if (each.content_type == content_type && !each.part_name.empty())
            return each.part_name.substr(1);
    return std::nullopt;
}

bool ContentTypes::has_default_of_type(std::string_view content_type) const
{
    for (const auto& [extension, type] : defaults_)
        if (type == content_type)
            return true;
    return false;
}

}  // namespace tw::content::parts
