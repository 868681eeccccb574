#ifndef CORVATEL_TEST_SUPPORT_TEMP_DIR_H
#define CORVATEL_TEST_SUPPORT_TEMP_DIR_H

#include <string>

namespace corvatel::testing {

/// A fresh directory under TMPDIR, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  /// path() + "/" + name.
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  /// Writes `content` to file(name) and returns that path.
  std::string write(const std::string& name, const std::string& content) const;
  /// Writes an executable /bin/sh script and returns its path.
  std::string write_script(const std::string& name, const std::string& body) const;

 private:
  std::string path_;
};

}  // namespace corvatel::testing

#endif
