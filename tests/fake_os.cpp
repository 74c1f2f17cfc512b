#include "fake_os.h"

#include <algorithm>

#include "imgstrip.h"
#include "io/byte_file.h"
#include "io/console.h"

namespace fake {
namespace {

World g_world;

struct Open {
    std::string path;
    std::int64_t position = 0;
    bool open = false;
};
std::vector<Open> g_handles;

// Counts the call and tells whether it is to fail, and with what.
os::Code fault_for(Call call)
{
    if (io::pending() != 0) g_world.called_while_pending = true;
    if (g_world.before_call) g_world.before_call(call);
    g_world.calls.push_back(call);
    const int n = static_cast<int>(g_world.calls.size());
    const Fault& fault = g_world.fault;
    if (fault.at == 0 || n < fault.at || (n > fault.at && !fault.persist)) return 0;
    return fault.code != 0 ? fault.code : usual_code(call);
}

Open* handle_of(os::Handle handle)
{
    if (handle < 0 || static_cast<std::size_t>(handle) >= g_handles.size()) return nullptr;
    Open& open = g_handles[static_cast<std::size_t>(handle)];
    return open.open ? &open : nullptr;
}

// How many bytes the read or write just counted may move at most.
std::size_t limit_now()
{
    const bool short_now = static_cast<int>(g_world.calls.size()) == g_world.short_at;
    return short_now ? std::min(g_world.short_limit, g_world.transfer_limit) : g_world.transfer_limit;
}

bool is_held(const std::string& path)
{
    return std::any_of(g_handles.begin(), g_handles.end(),
                       [&](const Open& open) { return open.open && open.path == path; });
}

}  // namespace

const char* name_of(Call call)
{
    switch (call) {
    case Call::open: return "open";
    case Call::size: return "size";
    case Call::seek: return "seek";
    case Call::read: return "read";
    case Call::write: return "write";
    case Call::close: return "close";
    case Call::console_write: return "console_write";
    }
    return "?";
}

os::Code usual_code(Call call)
{
    switch (call) {
    case Call::open: return 2;            // not found
    case Call::size: return 132;          // seek on a device
    case Call::seek: return 132;
    case Call::read: return 161;          // read fault
    case Call::write: return 112;         // disk full
    case Call::close: return 162;         // general failure
    case Call::console_write: return 232; // pipe closing
    }
    return 162;
}

World& world() { return g_world; }

void reset()
{
    g_world = World{};
    g_handles.clear();
    io::reset_files();
    io::reset_console();
}

int run(const std::vector<std::string>& args)
{
    try {
        imgstrip::run(args);
    } catch (const Exit& exit) {
        return exit.status;
    }
}

std::vector<unsigned char> bytes(std::initializer_list<int> values)
{
    std::vector<unsigned char> out;
    for (const int v : values) out.push_back(static_cast<unsigned char>(v));
    return out;
}

File& put_file(const std::string& path, std::vector<unsigned char> data)
{
    File& file = g_world.files[path];
    file.data = std::move(data);
    return file;
}

}  // namespace fake

namespace os {

using fake::Call;
using fake::g_world;

std::vector<std::string> start(int argc, char** argv)
{
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

Code open(const std::string& path, Disposition how, Handle& handle)
{
    if (const Code code = fake::fault_for(Call::open)) return code;
    if (std::find(g_world.directories.begin(), g_world.directories.end(), path) != g_world.directories.end())
        return 5;
    auto found = g_world.files.find(path);
    if (found != g_world.files.end() && (found->second.held_elsewhere || fake::is_held(path))) return 5;
    if (how == Disposition::open_existing) {
        if (found == g_world.files.end()) return 2;
    } else if (found == g_world.files.end()) {
        g_world.files[path];
    } else {
        found->second.data.clear();
    }
    handle = static_cast<Handle>(fake::g_handles.size());
    fake::g_handles.push_back({path, 0, true});
    return 0;
}

Code size(Handle handle, std::int64_t& size)
{
    if (const Code code = fake::fault_for(Call::size)) return code;
    const fake::Open* open = fake::handle_of(handle);
    if (open == nullptr) return 6;
    const fake::File& file = g_world.files[open->path];
    size = static_cast<std::int64_t>(file.data.size()) + file.size_bias;
    return 0;
}

Code seek(Handle handle, std::int64_t position)
{
    if (const Code code = fake::fault_for(Call::seek)) return code;
    fake::Open* open = fake::handle_of(handle);
    if (open == nullptr) return 6;
    if (position < 0) return 131;
    open->position = position;
    return 0;
}

Code read(Handle handle, unsigned char* data, std::size_t count, std::size_t& done)
{
    done = 0;
    if (const Code code = fake::fault_for(Call::read)) return code;
    fake::Open* open = fake::handle_of(handle);
    if (open == nullptr) return 6;
    const std::vector<unsigned char>& bytes = g_world.files[open->path].data;
    const auto at = static_cast<std::size_t>(open->position);
    if (at < bytes.size()) done = std::min({count, bytes.size() - at, fake::limit_now()});
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(std::min(at, bytes.size())), done, data);
    open->position += static_cast<std::int64_t>(done);
    return 0;
}

Code write(Handle handle, const unsigned char* data, std::size_t count, std::size_t& done)
{
    done = 0;
    if (const Code code = fake::fault_for(Call::write)) return code;
    fake::Open* open = fake::handle_of(handle);
    if (open == nullptr) return 6;
    fake::File& file = g_world.files[open->path];
    ++file.writes;
    done = std::min(count, fake::limit_now());
    const auto at = static_cast<std::size_t>(open->position);
    if (file.data.size() < at + done) file.data.resize(at + done);
    std::copy_n(data, done, file.data.begin() + static_cast<std::ptrdiff_t>(at));
    open->position += static_cast<std::int64_t>(done);
    return 0;
}

Code close(Handle handle)
{
    if (const Code code = fake::fault_for(Call::close)) return code;
    fake::Open* open = fake::handle_of(handle);
    if (open == nullptr) return 6;
    if (!g_world.files[open->path].character_device) open->open = false;
    return 0;
}

Code console_write(const unsigned char* data, std::size_t count, std::size_t& done)
{
    done = 0;
    if (const Code code = fake::fault_for(Call::console_write)) return code;
    done = std::min(count, fake::limit_now());
    g_world.console.append(reinterpret_cast<const char*>(data), done);
    return 0;
}

void exit(int status)
{
    // The process end releases every handle.
    for (fake::Open& open : fake::g_handles) open.open = false;
    throw fake::Exit{status};
}

}  // namespace os
