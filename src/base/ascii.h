#ifndef CORVATEL_BASE_ASCII_H
#define CORVATEL_BASE_ASCII_H

namespace corvatel {

/// One of the six ASCII white-space characters; unlike isspace, whatever the locale.
constexpr bool is_ascii_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace corvatel

#endif
