#include "check.hpp"

int main() { return check::run_all(); }
