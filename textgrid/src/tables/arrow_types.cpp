// Arrow types in words for messages: the interface's format codes ("g",
// "tss:UTC", "d:5,2") as the names users know from Arrow libraries.
#include <array>
#include <string>
#include <string_view>
#include <utility>

#include "textgrid/tables/arrow_import.hpp"
#include "textgrid/reading/reader.hpp"

namespace textgrid::arrow {
namespace {

// Formats shown as a fixed name.
constexpr std::array<std::pair<std::string_view, std::string_view>, 30> plain_names = {{
    {"n", "null"},
    {"b", "bool"},
    {"c", "int8"},
    {"C", "uint8"},
    {"s", "int16"},
    {"S", "uint16"},
    {"i", "int32"},
    {"I", "uint32"},
    {"l", "int64"},
    {"L", "uint64"},
    {"e", "float16"},
    {"f", "float32"},
    {"g", "float64"},
    {"u", "string"},
    {"U", "large_string"},
    {"vu", "string_view"},
    {"z", "binary"},
    {"Z", "large_binary"},
    {"vz", "binary_view"},
    {"tdD", "date32"},
    {"tdm", "date64"},
    {"tiM", "interval[months]"},
    {"tiD", "interval[day_time]"},
    {"tin", "interval[month_day_nano]"},
    {"+l", "list"},
    {"+L", "large_list"},
    {"+vl", "list_view"},
    {"+vL", "large_list_view"},
    {"+s", "struct"},
    {"+m", "map"},
}};

// Formats shown as a name and what follows their prefix.
constexpr std::array<std::pair<std::string_view, std::string_view>, 5> prefixed_names = {{
    {"w:", "fixed_size_binary"},
    {"+w:", "fixed_size_list"},
    {"+us:", "sparse_union"},
    {"+ud:", "dense_union"},
    {"+r", "run_end_encoded"},
}};

std::string_view time_unit(char code) {
  switch (code) {
    case 's':
      return "s";
    case 'm':
      return "ms";
    case 'u':
      return "us";
    case 'n':
      return "ns";
    default:
      return "?";
  }
}

// "d:5,2" (128-bit by default) or "d:5,2,256".
std::string decimal_name(std::string_view parameters) {
  std::string_view width = "128";
  std::size_t second_comma = parameters.find(',', parameters.find(',') + 1);
  if (parameters.find(',') != std::string_view::npos && second_comma != std::string_view::npos) {
    width = parameters.substr(second_comma + 1);
    parameters = parameters.substr(0, second_comma);
  }
  std::string name = "decimal" + std::string(width) + "(";
  for (char c : parameters) {
    name += c;
    if (c == ',') name += ' ';
  }
  return name + ")";
}

std::string format_name(std::string_view format) {
  for (const auto& [code, name] : plain_names)
    if (format == code) return std::string(name);
  if (format.starts_with("ts") && format.size() >= 4 && format[3] == ':') {
    std::string name = "timestamp[" + std::string(time_unit(format[2]));
    if (format.size() > 4) name += ", tz=" + std::string(format.substr(4));
    return name + "]";
  }
  if (format.starts_with("tt") && format.size() == 3)
    return (format[2] == 's' || format[2] == 'm' ? "time32[" : "time64[") +
           std::string(time_unit(format[2])) + "]";
  if (format == "tDs" || format == "tDm" || format == "tDu" || format == "tDn")
    return "duration[" + std::string(time_unit(format[2])) + "]";
  if (format.starts_with("d:")) return decimal_name(format.substr(2));
  for (const auto& [prefix, name] : prefixed_names)
    if (format.starts_with(prefix))
      return std::string(name) + (format.size() > prefix.size()
                                      ? "[" + std::string(format.substr(prefix.size())) + "]"
                                      : "");
  return "an unknown type (format '" + std::string(format) + "')";
}

// Formats come from outside: keep what a message shows short and valid UTF-8.
constexpr std::size_t shown_format_limit = 40;

}  // namespace

std::string describe_type(const ArrowSchema& field) {
  auto name_of = [](const ArrowSchema& type) {
    if (type.format == nullptr) return std::string("no type");
    std::string_view format = type.format;
    if (format.size() > shown_format_limit) format = format.substr(0, shown_format_limit);
    return with_replacement_characters(format_name(format));
  };
  if (field.dictionary == nullptr) return name_of(field);
  // One level only: a dictionary's values have no dictionary of their own.
  return "dictionary<values=" + name_of(*field.dictionary) + ", indices=" + name_of(field) + ">";
}

}  // namespace textgrid::arrow
