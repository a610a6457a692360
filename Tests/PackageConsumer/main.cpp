// The application's side of one tool call per input line: reads a wire request, tells who is
// asking, and writes a wire response line. Only the installed headers and library are used.
#include <QuillMCPCore/MCPClientIdentity.h>
#include <QuillMCPCore/MCPWire.h>
#include <QuillMCPCore/ToolDefinition.h>

#include <iostream>
#include <string>

namespace {

quill::MCPWireResponse handle(const std::string& line) {
  const auto request = quill::MCPWire::decodeRequest(line);
  if (!request) {
    return quill::MCPWireResponse::failure(std::nullopt, quill::MCPWireErrorCode::internalError,
                                           "not a request");
  }
  std::string project = "no project";
  if (request->params && request->params->arguments) {
    if (auto name = (*request->params->arguments)["project"]) {
      project = std::string(name->stringValue().value_or("no project"));
    }
  }
  const auto identity = quill::MCPClientIdentity::resolve(request->client, request->clientName);
  const quill::ToolCallResult result{
      project + ", for " + identity.actor + " in " + identity.surface, false};
  return quill::MCPWireResponse::success(request->id, result.jsonValue());
}

}  // namespace

int main() {
  for (std::string line; std::getline(std::cin, line);) {
    std::cout << quill::MCPWire::encode(handle(line)).value_or("") << '\n';
  }
}
