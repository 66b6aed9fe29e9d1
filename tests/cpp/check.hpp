#pragma once
// A minimal test harness for the core: TEST(name) { CHECK(...); CHECK_EQ(a, b); }
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace check {

struct Case {
  const char* name;
  std::function<void()> body;
};

inline std::vector<Case>& cases() {
  static std::vector<Case> all;
  return all;
}
inline int& failures() {
  static int count = 0;
  return count;
}

struct Register {
  Register(const char* name, std::function<void()> body) { cases().push_back({name, body}); }
};

template <class T>
std::string show(const T& value) {
  if constexpr (requires(std::ostream& os) { os << value; }) {
    std::ostringstream os;
    os << value;
    return os.str();
  } else {
    return "<value>";
  }
}

inline void report(const char* file, int line, const std::string& what) {
  ++failures();
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what.c_str());
}

inline int run_all() {
  for (auto& c : cases()) {
    int before = failures();
    try {
      c.body();
    } catch (const std::exception& e) {
      report(c.name, 0, std::string("unexpected exception: ") + e.what());
    }
    std::fprintf(stderr, "%s %s\n", failures() == before ? "ok  " : "FAIL", c.name);
  }
  std::fprintf(stderr, "%zu cases, %d failed checks\n", cases().size(), failures());
  return failures() == 0 ? 0 : 1;
}

}  // namespace check

#define CHECK_CONCAT2(a, b) a##b
#define CHECK_CONCAT(a, b) CHECK_CONCAT2(a, b)
#define TEST(name)                                                                  \
  static void CHECK_CONCAT(test_, name)();                                          \
  static check::Register CHECK_CONCAT(register_, name)(#name, CHECK_CONCAT(test_, name)); \
  static void CHECK_CONCAT(test_, name)()
#define CHECK(cond) \
  ((cond) ? (void)0 : check::report(__FILE__, __LINE__, #cond))
#define CHECK_EQ(a, b)                                                                   \
  do {                                                                                   \
    auto&& check_a_ = (a);                                                               \
    auto&& check_b_ = (b);                                                               \
    if (!(check_a_ == check_b_))                                                         \
      check::report(__FILE__, __LINE__,                                                  \
                    std::string(#a " == " #b ": ") + check::show(check_a_) + " vs " +    \
                        check::show(check_b_));                                          \
  } while (0)
#define CHECK_THROWS(expr)                                              \
  do {                                                                  \
    bool check_threw_ = false;                                          \
    try {                                                               \
      (void)(expr);                                                     \
    } catch (...) {                                                     \
      check_threw_ = true;                                              \
    }                                                                   \
    if (!check_threw_) check::report(__FILE__, __LINE__, "no throw: " #expr); \
  } while (0)
