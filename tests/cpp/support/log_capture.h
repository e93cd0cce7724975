// Collects the message text of every line the library logs while it lives;
// restores the previous output and level afterwards.
#pragma once

#include <string>
#include <vector>

#include "log/zf_log.h"

class LogCapture {
 public:
  LogCapture()
      : output_(_zf_log_global_output), level_(_zf_log_global_output_lvl) {
    zf_log_set_output_v(ZF_LOG_PUT_MSG, &lines_, collect);
    zf_log_set_output_level(ZF_LOG_WARN);
  }
  ~LogCapture() {
    zf_log_set_output_v(output_.mask, output_.arg, output_.callback);
    zf_log_set_output_level(level_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  const std::vector<std::string>& lines() const { return lines_; }

 private:
  static void collect(const zf_log_message* msg, void* arg) {
    static_cast<std::vector<std::string>*>(arg)->emplace_back(msg->msg_b,
                                                              msg->p);
  }
  zf_log_output output_;
  int level_;
  std::vector<std::string> lines_;
};
