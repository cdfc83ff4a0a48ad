// JsonDocument::parse throughput on 1 MB inputs against nlohmann/json and RapidJSON (both
// building a document tree) on the same bytes.
#include <benchmark/benchmark.h>

#include <rapidjson/document.h>
#include <nlohmann/json.hpp>

#include <string>

#include "platform/json_document.h"

namespace {

// A mail-service answer: an array of message objects with strings, escapes, numbers, booleans
// and nested objects, about 1 MB.
const std::string& MessagesJson() {
  static const std::string json = [] {
    std::string text = "{\"@odata.context\":\"https://example.invalid/$metadata\",\"value\":[";
    for (int i = 0; text.size() < 1024 * 1024; ++i) {
      if (i > 0)
        text += ',';
      text +=
          "{\"Id\":\"AAMkAGI2TG93AAA" + std::to_string(i * 7919) +
          "\",\"IsRead\":" + (i % 3 ? "false" : "true") +
          ",\"Subject\":\"Re: caf\\u00e9 meeting \\\"" + std::to_string(i) +
          "\\\" \\/ notes\",\"ReceivedDateTime\":\"2026-12-10T08:" + std::to_string(10 + i % 50) +
          ":00Z\",\"From\":{\"EmailAddress\":{\"Name\":\"Sender " + std::to_string(i % 97) +
          "\",\"Address\":\"s" + std::to_string(i % 97) +
          "@example.invalid\"}},\"Size\":" + std::to_string(1000 + i * 13) +
          ",\"Score\":" + std::to_string(i % 100) + ".25e-1,\"Flags\":[1,2,null]}";
    }
    text += "]}";
    return text;
  }();
  return json;
}

// Numbers only: a 1 MB array of integers and decimals.
const std::string& NumbersJson() {
  static const std::string json = [] {
    std::string text = "[";
    for (int i = 0; text.size() < 1024 * 1024; ++i) {
      if (i > 0)
        text += ',';
      text += i % 2 ? std::to_string(i * 104729LL) : std::to_string(i) + ".5";
    }
    text += "]";
    return text;
  }();
  return json;
}

const std::string& Input(int which) {
  return which == 0 ? MessagesJson() : NumbersJson();
}

void JsonDocumentParse(benchmark::State& state) {
  const std::string& input = Input(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    tarvel::JsonDocument document;
    benchmark::DoNotOptimize(document.parse(input));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}
BENCHMARK(JsonDocumentParse)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void NlohmannParse(benchmark::State& state) {
  const std::string& input = Input(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    auto document = nlohmann::json::parse(input, nullptr, false);
    benchmark::DoNotOptimize(document.is_discarded());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}
BENCHMARK(NlohmannParse)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void RapidJsonParse(benchmark::State& state) {
  const std::string& input = Input(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    rapidjson::Document document;
    document.Parse(input.c_str(), input.size());
    benchmark::DoNotOptimize(document.HasParseError());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}
BENCHMARK(RapidJsonParse)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
