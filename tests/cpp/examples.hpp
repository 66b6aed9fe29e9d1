#pragma once
// The complete example document (an interval tier "words" and a point tier
// "events") in both layouts. `quoted_label` is the second interval's label as
// it stands in the file, quotes included, so that readers and writers can use
// the same text with either way of escaping inner quotes.
#include <string>
#include <string_view>

inline std::string long_example_text(std::string_view quoted_label) {
  return std::string(
             "File type = \"ooTextFile\"\r\n"
             "Object class = \"TextGrid\"\r\n"
             "\r\n"
             "xmin = 0 \r\n"
             "xmax = 2.5 \r\n"
             "tiers? <exists> \r\n"
             "size = 2 \r\n"
             "item []: \r\n"
             "    item [1]:\r\n"
             "        class = \"IntervalTier\" \r\n"
             "        name = \"words\" \r\n"
             "        xmin = 0 \r\n"
             "        xmax = 2.5 \r\n"
             "        intervals: size = 2 \r\n"
             "        intervals [1]:\r\n"
             "            xmin = 0 \r\n"
             "            xmax = 1.2 \r\n"
             "            text = \"hello\" \r\n"
             "        intervals [2]:\r\n"
             "            xmin = 1.2 \r\n"
             "            xmax = 2.5 \r\n"
             "            text = ") +
         std::string(quoted_label) +
         " \r\n"
         "    item [2]:\r\n"
         "        class = \"TextTier\" \r\n"
         "        name = \"events\" \r\n"
         "        xmin = 0 \r\n"
         "        xmax = 2.5 \r\n"
         "        points: size = 1 \r\n"
         "        points [1]:\r\n"
         "            number = 0.5 \r\n"
         "            mark = \"click\" \r\n";
}

inline std::string short_example_text(std::string_view quoted_label) {
  return std::string(
             "File type = \"ooTextFile\"\r\n"
             "Object class = \"TextGrid\"\r\n"
             "\r\n"
             "0\r\n2.5\r\n<exists>\r\n2\r\n"
             "\"IntervalTier\"\r\n\"words\"\r\n0\r\n2.5\r\n2\r\n"
             "0\r\n1.2\r\n\"hello\"\r\n"
             "1.2\r\n2.5\r\n") +
         std::string(quoted_label) +
         "\r\n"
         "\"TextTier\"\r\n\"events\"\r\n0\r\n2.5\r\n1\r\n"
         "0.5\r\n\"click\"\r\n";
}
