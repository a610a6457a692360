// A minimal application on Quill's side of the link, built with the installed headers and library
// alone:
//   quill-app-handler <socket path> <status path>
// It listens on the socket, records in the status file that it does, answers one client's tool
// call with the project asked for and who asked, then stops and records that too. Exit status 1
// and a line on standard error when any step fails.
#include <QuillMCPCore/MCPClientIdentity.h>
#include <QuillMCPCore/MCPListener.h>
#include <QuillMCPCore/MCPStatus.h>
#include <QuillMCPCore/MCPWire.h>
#include <QuillMCPCore/ToolDefinition.h>

#include <chrono>
#include <iostream>
#include <string>

namespace {

quill::MCPWireResponse handle(const std::string& line) {
  const auto decoded = quill::MCPWire::decodeRequest(line);
  if (const auto* failure = quill::failed(decoded)) {
    return quill::MCPWireResponse::failure(std::nullopt, quill::MCPWireErrorCode::internalError,
                                           "Not a request: " + failure->detail);
  }
  const auto& request = std::get<quill::MCPWireRequest>(decoded);
  std::string project = "no project";
  if (request.params && request.params->arguments) {
    if (auto name = (*request.params->arguments)["project"]) {
      project = std::string(name->stringValue().value_or("no project"));
    }
  }
  const auto identity = quill::MCPClientIdentity::resolve(request.client, request.clientName);
  const quill::ToolCallResult result{
      project + ", for " + identity.actor + " in " + identity.surface, false};
  return quill::MCPWireResponse::success(request.id, result.jsonValue());
}

bool writeStatus(const std::string& path, bool listening) {
  const quill::MCPStatus status{true, true, listening, "1.0", "2025-03-01T10:00:00Z"};
  return !quill::failed(status.writeFile(path));
}

// Serves the first client to come within 30 seconds.
const char* serveOne(quill::MCPListener& listener) {
  auto accepted = listener.accept(std::chrono::seconds(30));
  if (quill::failed(accepted)) return "no client came";
  auto& client = std::get<quill::MCPConnection>(accepted);
  const auto request = client.readRequest(true);
  if (quill::failed(request)) return "no request line came";
  client.answer(quill::valueOr(quill::MCPWire::encode(handle(**std::get_if<0>(&request))), ""));
  if (quill::failed(client.writeAnswer(true))) return "the answer could not be sent";
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: quill-app-handler <socket path> <status path>\n";
    return 1;
  }
  const char* problem = nullptr;
  {
    auto listening = quill::MCPListener::listen(argv[1]);
    if (quill::failed(listening)) {
      problem = "cannot listen";
    } else if (!writeStatus(argv[2], true)) {
      problem = "cannot write the status file";
    } else {
      problem = serveOne(std::get<quill::MCPListener>(listening));
    }
  }  // the listener stops here, and removes its socket
  if (!problem && !writeStatus(argv[2], false)) problem = "cannot write the status file";
  if (problem) std::cerr << "quill-app-handler: " << problem << "\n";
  return problem ? 1 : 0;
}
