#include "platform/thread.h"

#include <windows.h>

#include <atomic>

namespace plat {

// Shared by the owner and the thread; whichever lets go last frees it, so a
// thread given up on by Join can still finish safely.
struct Thread::State {
    HANDLE handle = nullptr;
    Body body = nullptr;
    void* arg = nullptr;
    // Each thread holds a reference on the module whose code it runs, so
    // that a host unloading the module with threads still running cannot
    // pull the code from under them; the thread drops it as it exits.
    HMODULE module = nullptr;
    std::atomic<int> refs{2};

    void Release() {
        if (refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }
};

namespace {

// The multimedia class task of the calling thread, reverted as it ends.
thread_local HANDLE t_mmcssTask = nullptr;

using AvSetCharacteristicsFn = HANDLE(WINAPI*)(LPCSTR, LPDWORD);
using AvSetPriorityFn = BOOL(WINAPI*)(HANDLE, int);
using AvRevertFn = BOOL(WINAPI*)(HANDLE);
using SetDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);

// GetProcAddress gives a generic function pointer; the cast through
// void (*)() says that the real type is known.
template <typename Fn>
Fn Lookup(HMODULE dll, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(dll, name)));
}

struct AvrtApi {
    AvSetCharacteristicsFn setCharacteristics = nullptr;
    AvSetPriorityFn setPriority = nullptr;
    AvRevertFn revert = nullptr;
};

// avrt.dll is looked up once, at the first use, and kept loaded. It is
// taken from the system folder only, never from the host's folders.
const AvrtApi& Avrt() {
    static const AvrtApi api = [] {
        AvrtApi a;
        char path[MAX_PATH];
        UINT n = GetSystemDirectoryA(path, MAX_PATH);
        HMODULE dll = nullptr;
        if (n > 0 && n + sizeof "\\avrt.dll" <= MAX_PATH) {
            lstrcatA(path, "\\avrt.dll");
            dll = LoadLibraryA(path);
        }
        if (dll != nullptr) {
            a.setCharacteristics = Lookup<AvSetCharacteristicsFn>(dll, "AvSetMmThreadCharacteristicsA");
            a.setPriority = Lookup<AvSetPriorityFn>(dll, "AvSetMmThreadPriority");
            a.revert = Lookup<AvRevertFn>(dll, "AvRevertMmThreadCharacteristics");
        }
        return a;
    }();
    return api;
}

DWORD WINAPI Trampoline(LPVOID raw) {
    auto* state = static_cast<Thread::State*>(raw);
    state->body(state->arg);
    if (t_mmcssTask != nullptr) {
        if (Avrt().revert != nullptr) Avrt().revert(t_mmcssTask);
        t_mmcssTask = nullptr;
    }
    HMODULE module = state->module;
    state->Release();
    if (module != nullptr) FreeLibraryAndExitThread(module, 0);
    return 0;
}

}  // namespace

Thread::Thread() : state_(nullptr), started_(false) {}

Thread::~Thread() {
    if (started_) {
        // Still running: let it go on by itself.
        CloseHandle(state_->handle);
        state_->Release();
        state_ = nullptr;
        started_ = false;
    }
}

bool Thread::Start(Body body, void* arg, ThreadPriority priority) {
    if (started_ || body == nullptr) return false;
    State* state = new State;
    state->body = body;
    state->arg = arg;
    HMODULE module = nullptr;
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&Trampoline), &module))
        state->module = module;
    // Suspended until its priority is set, so it runs at that priority from
    // its first instruction.
    state->handle = CreateThread(nullptr, 0, Trampoline, state, CREATE_SUSPENDED, nullptr);
    if (state->handle == nullptr) {
        if (state->module != nullptr) FreeLibrary(state->module);
        delete state;
        return false;
    }
    if (priority == ThreadPriority::TimeCritical) SetThreadPriority(state->handle, THREAD_PRIORITY_TIME_CRITICAL);
    ResumeThread(state->handle);
    state_ = state;
    started_ = true;
    return true;
}

bool Thread::Join(uint32_t timeoutMs) {
    if (!started_) return true;
    DWORD limit = timeoutMs == 0xFFFFFFFFu ? INFINITE : static_cast<DWORD>(timeoutMs);
    bool ended = WaitForSingleObject(state_->handle, limit) == WAIT_OBJECT_0;
    CloseHandle(state_->handle);
    state_->Release();  // a thread that is still running keeps its State
    state_ = nullptr;
    started_ = false;
    return ended;
}

void EnterProAudioClass() {
    if (t_mmcssTask != nullptr) return;  // already in the class
    const AvrtApi& api = Avrt();
    if (api.setCharacteristics == nullptr) return;
    DWORD taskIndex = 0;
    HANDLE task = api.setCharacteristics("Pro Audio", &taskIndex);
    if (task == nullptr) return;  // no scheduler service: run on without it
    const int kAvrtPriorityCritical = 2;
    if (api.setPriority != nullptr) api.setPriority(task, kAvrtPriorityCritical);
    t_mmcssTask = task;
}

void SetCurrentThreadName(const char* name) {
    if (name == nullptr) return;
    // SetThreadDescription exists from Windows 10 1607 on.
    static const SetDescriptionFn setDescription = [] {
        HMODULE kernel = GetModuleHandleA("kernel32.dll");
        return kernel != nullptr ? Lookup<SetDescriptionFn>(kernel, "SetThreadDescription") : nullptr;
    }();
    if (setDescription == nullptr) return;
    char cut[64];
    size_t len = 0;
    for (; len + 1 < sizeof cut && name[len] != '\0'; ++len) cut[len] = name[len];
    cut[len] = '\0';
    wchar_t wide[64];
    if (MultiByteToWideChar(CP_ACP, 0, cut, -1, wide, static_cast<int>(sizeof wide / sizeof wide[0])) == 0) return;
    setDescription(GetCurrentThread(), wide);
}

}  // namespace plat
