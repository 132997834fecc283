#include "http/template_scanner.h"

#include <algorithm>

namespace quillon::http {

namespace {
constexpr std::string_view kCommentOpener = "<!--";
constexpr std::string_view kHashOpener = "####";
constexpr std::size_t kCommentCloser = 3;  // "-->"
constexpr std::size_t kHashCloser = 4;     // "####"
}  // namespace

void TemplateScanner::Next(std::string* literal, std::string* name) {
  name->clear();
  while (at_ < text_.size()) {
    const char ch = text_[at_];
    if (ch != '<' && ch != '#') {
      // Copy a run of plain text at once.
      const std::size_t next = std::min(text_.find_first_of("<#", at_), text_.size());
      literal->append(text_.substr(at_, next - at_));
      at_ = next;
      continue;
    }
    const bool comment = ch == '<';
    const std::string_view opener = comment ? kCommentOpener : kHashOpener;
    std::size_t matched = 1;
    while (matched < opener.size() && at_ + matched < text_.size() &&
           text_[at_ + matched] == opener[matched])
      ++matched;
    if (matched < opener.size()) {
      // Broken off: what was read goes out, with the byte that broke it.
      const std::size_t end = std::min(at_ + matched + 1, text_.size());
      literal->append(text_.substr(at_, end - at_));
      at_ = end;
      continue;
    }
    const std::size_t start = at_ + opener.size();
    if (start >= text_.size()) {
      literal->append(text_.substr(at_));
      at_ = text_.size();
      return;
    }
    const char first = text_[start];
    if (first == '-' || first == ' ' || first == '\r' || first == '\n' || (!comment && first == '#')) {
      literal->append(text_.substr(at_, start + 1 - at_));
      at_ = start + 1;
      continue;
    }
    const char end_mark = comment ? '-' : '#';
    const std::size_t end = std::min(text_.find(end_mark, start), text_.size());
    const std::string_view found = text_.substr(start, end - start);
    *name = found.size() < kNameCapacity ? std::string(found) : std::string("BADFLAG");
    at_ = std::min(end + (comment ? kCommentCloser : kHashCloser), text_.size());
    return;
  }
}

}  // namespace quillon::http
