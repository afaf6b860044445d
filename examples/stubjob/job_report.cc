// The stub job's output: text for a person, or one JSON object per line for a program.
#include "examples/stubjob/job_report.h"

#include <unistd.h>

#include <cstdio>

#include "tools/report_text.h"
#include "tools/text_escape.h"

namespace stubjob {
namespace {

using trhsm_tools::Bytes;
using trhsm_tools::Count;
using trhsm_tools::JsonQuote;

const char* ResultWord(Result r, bool dryRun) {
  switch (r) {
    case Result::kStubbed:
      return "stubbed";
    case Result::kDone:
      return "done";
    case Result::kWould:
      return "would stub";
    case Result::kSkipped:
      return dryRun ? "would skip" : "skipped";
    case Result::kRefused:
      break;
  }
  return dryRun ? "would refuse" : "refused";
}

std::string JsonCounts(const std::map<std::string, uint64_t>& byReason) {
  std::string out = "{";
  for (const auto& kv : byReason) {
    if (out.size() > 1) out += ",";
    out += JsonQuote(kv.first) + ":" + std::to_string(kv.second);
  }
  return out + "}";
}

}  // namespace

JobReport::JobReport(const Options& options, uint64_t total)
    : o_(options), total_(total), progress_(!o_.quiet && !o_.json && ::isatty(STDOUT_FILENO)) {}

void JobReport::EndProgressLine() {
  if (!midLine_) return;
  std::fputc('\n', stdout);
  std::fflush(stdout);
  midLine_ = false;
}

void JobReport::Problem(const std::string& text) {
  EndProgressLine();
  std::fprintf(stderr, "trhsm-stubjob: %s\n", text.c_str());
}

void JobReport::Item(const std::string& path, const Outcome& r) {
  switch (r.result) {
    case Result::kStubbed:
    case Result::kWould:
      ++stubbed_;
      freed_ += r.freed;
      break;
    case Result::kDone:
      ++done_;
      break;
    case Result::kSkipped:
      ++skipped_;
      ++skips_[r.reason];
      break;
    case Result::kRefused:
      ++refusedTotal_;
      ++refused_[r.reason];
      break;
  }
  if (o_.quiet) return;
  const char* word = ResultWord(r.result, o_.dryRun);
  if (o_.json) {
    const bool ok = r.result != Result::kRefused;
    std::string line = "{\"file\":" + JsonQuote(path) + ",\"ok\":" + (ok ? "true" : "false") +
                       ",\"result\":" + JsonQuote(word);
    if (!ok) {
      line += ",\"error\":" + JsonQuote(r.reason);
    } else if (r.result == Result::kSkipped) {
      line += ",\"reason\":" + JsonQuote(r.reason);
    } else if (r.result != Result::kDone) {
      line += ",\"releasedBytes\":" + std::to_string(r.freed);
    }
    std::printf("%s}\n", line.c_str());
  } else if (o_.dryRun) {
    EndProgressLine();
    std::printf("%s %s: %s\n", word, path.c_str(), r.reason.c_str());
  } else if (r.result == Result::kRefused) {
    Problem("refused " + path + ": " + r.reason);
  }
}

void JobReport::Progress(uint64_t index) {
  if (!progress_) return;
  std::string line = "\rtrhsm-stubjob: " + std::to_string(index);
  if (total_ >= index) line += " of " + std::to_string(total_);
  line +=
      (index == 1 && total_ <= 1 ? " item, " : " items, ") + std::to_string(stubbed_) + " stubbed";
  std::fputs(line.c_str(), stdout);
  std::fflush(stdout);
  midLine_ = true;
}

void JobReport::Summary(bool stopped, const std::string& timings) {
  EndProgressLine();
  if (o_.json) {
    std::printf(
        "{\"summary\":true,\"dryRun\":%s,\"%s\":%llu,\"done\":%llu,\"skipped\":%llu,"
        "\"refused\":%llu,\"releasedBytes\":%llu,\"stopped\":%s,\"refusals\":%s,\"skips\":%s}\n",
        o_.dryRun ? "true" : "false", o_.dryRun ? "wouldStub" : "stubbed",
        static_cast<unsigned long long>(stubbed_), static_cast<unsigned long long>(done_),
        static_cast<unsigned long long>(skipped_), static_cast<unsigned long long>(refusedTotal_),
        static_cast<unsigned long long>(freed_), stopped ? "true" : "false",
        JsonCounts(refused_).c_str(), JsonCounts(skips_).c_str());
    return;
  }
  std::printf("trhsm-stubjob: %s %s, %llu already done, %llu skipped, %llu refused, %s %s%s\n",
              Count(stubbed_, "item", "items").c_str(), o_.dryRun ? "would be stubbed" : "stubbed",
              static_cast<unsigned long long>(done_), static_cast<unsigned long long>(skipped_),
              static_cast<unsigned long long>(refusedTotal_), Bytes(freed_).c_str(),
              o_.dryRun ? "would be released" : "released", stopped ? " (stopped on request)" : "");
  for (const auto& kv : refused_) {
    std::printf("  refused (%s): %llu\n", kv.first.c_str(),
                static_cast<unsigned long long>(kv.second));
  }
  for (const auto& kv : skips_) {
    std::printf("  skipped (%s): %llu\n", kv.first.c_str(),
                static_cast<unsigned long long>(kv.second));
  }
  std::fputs(timings.c_str(), stdout);
}

}  // namespace stubjob
