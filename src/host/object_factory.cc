#include <map>
#include <mutex>

#include "host/list_label.h"
#include "host/objects.h"
#include "llupdate/message_sinks.h"
#include "llupdate/version.h"

namespace llupdate {
namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::string, ObjectCreator> creators;

  Registry() {
    creators[host::kMessagesProgId] = [] { return NewConsoleMessages(stderr); };
    creators[host::kDynArrayProgId] = [] { return host::NewMemoryDynArray(); };
    creators[host::kListLabelProgId] = [] { return host::NewProjectResaver(); };
    host::RegisterPlatformObjects(creators);
  }
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

thread_local std::shared_ptr<HostMessages> thread_messages;

}  // namespace

ObjectCreator RegisterObject(const std::string& progid, ObjectCreator creator) {
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  ObjectCreator previous;
  if (auto node = registry.creators.extract(progid)) previous = std::move(node.mapped());
  if (creator) registry.creators[progid] = std::move(creator);
  return previous;
}

std::shared_ptr<Object> CreateObject(const std::string& progid) {
  ObjectCreator creator;
  {
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    auto it = registry.creators.find(progid);
    if (it == registry.creators.end()) return nullptr;
    creator = it->second;
  }
  try {
    return creator();
  } catch (...) {
    return nullptr;
  }
}

void ResetThreadHostMessages() { thread_messages.reset(); }

const char* LibraryVersion() { return LLUPDATE_VERSION; }

void ReleaseThreadHostObjects() { thread_messages.reset(); }

namespace host {

HostMessages& ThreadHostMessages() {
  if (!thread_messages) {
    auto messages = std::dynamic_pointer_cast<HostMessages>(CreateObject(kMessagesProgId));
    if (!messages) {
      throw HostFailure(
          platform::kCannotCreateObject,
          platform::ErrorDescription(platform::kCannotCreateObject) + ": " + kMessagesProgId);
    }
    thread_messages = std::move(messages);
  }
  return *thread_messages;
}

}  // namespace host
}  // namespace llupdate
