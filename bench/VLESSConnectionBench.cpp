// What turning a pasted link into an Xray configuration costs, per link and
// per shape, against copying the link (the least any consumer does with it)
// and against a bare serialisation of an equal, already built JSON document.

#include <string>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include "core/proxy/VLESSConnection.h"

namespace {

using korvelin::VLESSRealityConfiguration;

const std::string kTcp =
    "vless://b831381d-6324-4d53-ad4f-8cda48b30811@example.com:443?encryption=none"
    "&flow=xtls-rprx-vision&security=reality&sni=www.example.com&fp=chrome"
    "&pbk=SbVKOEMjK0sIlbwg4akyBg5mL5KZwwB-ed4eEE7YnRc&sid=6ba85179e30d4fc2&spx=%2F&type=tcp#Home";
const std::string kGrpcReality =
    "vless://b831381d-6324-4d53-ad4f-8cda48b30811@203.0.113.7:8443?type=grpc&security=reality"
    "&serviceName=grpc-tunnel&mode=gun&sni=www.example.com&fp=safari"
    "&pbk=SbVKOEMjK0sIlbwg4akyBg5mL5KZwwB-ed4eEE7YnRc&sid=ab";
const std::string kGrpcTls =
    "vless://b831381d-6324-4d53-ad4f-8cda48b30811@[2001:db8::1]:443?type=grpc&security=tls"
    "&serviceName=my%2Fservice&sni=proxy.example.com&alpn=h2&authority=cdn.example.net";

void baselineCopyLink(benchmark::State& state) {
  for (auto _ : state) {
    std::string copy = kTcp;
    benchmark::DoNotOptimize(copy.data());
  }
}
BENCHMARK(baselineCopyLink)->Name("VLESS/baseline:copyLink")->MeasureProcessCPUTime();

void parse(benchmark::State& state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(VLESSRealityConfiguration(kTcp));
}
BENCHMARK(parse)->Name("VLESS/parse:tcpReality")->MeasureProcessCPUTime();

void parseAndBuild(benchmark::State& state, const std::string& link) {
  for (auto _ : state)
    benchmark::DoNotOptimize(VLESSRealityConfiguration(link).xrayJSON(1080));
}
BENCHMARK_CAPTURE(parseAndBuild, tcp, kTcp)
    ->Name("VLESS/parseAndXrayJSON:tcpReality")
    ->MeasureProcessCPUTime();
BENCHMARK_CAPTURE(parseAndBuild, grpcReality, kGrpcReality)
    ->Name("VLESS/parseAndXrayJSON:grpcReality")
    ->MeasureProcessCPUTime();
BENCHMARK_CAPTURE(parseAndBuild, grpcTls, kGrpcTls)
    ->Name("VLESS/parseAndXrayJSON:grpcTls")
    ->MeasureProcessCPUTime();

void baselineDump(benchmark::State& state) {
  const auto document = nlohmann::json::parse(VLESSRealityConfiguration(kTcp).xrayJSON(1080));
  for (auto _ : state)
    benchmark::DoNotOptimize(document.dump());
}
BENCHMARK(baselineDump)->Name("XrayJSON/baseline:dumpBuiltDocument")->MeasureProcessCPUTime();

void xrayJSON(benchmark::State& state) {
  const VLESSRealityConfiguration configuration(kTcp);
  for (auto _ : state)
    benchmark::DoNotOptimize(configuration.xrayJSON(1080));
}
BENCHMARK(xrayJSON)->Name("XrayJSON/xrayJSON:tcpReality")->MeasureProcessCPUTime();

}  // namespace
