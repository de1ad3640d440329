// Downloads of firmware images into the store, and the build lists of the server and of the
// store.
#include <chrono>
#include <cstdlib>
#include <future>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>


#include "BirdFile.h"
#include "KeyValueStore.h"
#include "Log.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterStore.h"
#include "aFile.h"
#include "base64.h"
#include "path.h"

// Decimal text as std::stoul reads it, low 32 bits kept; false when it holds no number or one
// out of range.
static bool _to_build_number(const std::string& text, unsigned int* number)
{
    try {
        *number = (unsigned int)std::stoul(text, nullptr, 10);
        return true;
    } catch (const std::logic_error&) {
        return false;
    }
}

static bool _valid_build(unsigned int serial, unsigned int build, const char* serverUrl)
{
    std::map<std::string, std::string> builds;
    if (!UpdateServerRequest::GetBuildList(serial, builds, serverUrl))
        return false;
    for (const auto& entry : builds) {
        unsigned int number = 0;
        if (!_to_build_number(entry.first, &number)) {
            Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", entry.first.c_str());
            number = 0;
        }
        if (number == build)
            return true;
    }
    return false;
}

// The worker thread of a download, joined on every way out of the scope that owns it, so it
// never outlives the body string it fills.
class _JoinedThread {
public:
    explicit _JoinedThread(std::thread&& t) : thread(std::move(t)) {}
    ~_JoinedThread() { join(); }
    void join()
    {
        if (thread.joinable())
            thread.join();
    }

private:
    std::thread thread;
};

// Whether bytes load as a BIRD image: they are written to a temporary file beside the image
// (which no listing counts, and a later write removes should this run die meanwhile), loaded
// from there and the file removed again.
static bool _loads_as_bird(UpdaterStoreItem& item, const unsigned char* bytes,
                           unsigned long length, aErr* writeError)
{
    std::string probe = KeyValueStore::TemporaryName("download.bird");
    *writeError = item.WriteFile(probe.c_str(), bytes, length);
    if (*writeError != aErrNone)
        return false;
    std::string path = BuildPath(item.path.c_str(), item.name.c_str(), probe.c_str(), nullptr);
    bool loads = false;
    if (BirdFile::VerifyFile(path.c_str())) {
        try {
            BirdFile image(path.c_str());
            loads = image.blockCount > 0;
        } catch (const std::runtime_error&) {
            loads = false;
        }
    }
    aFile_Delete(path.c_str());
    return loads;
}

unsigned int Updater::Download_Firmware(unsigned int serial, std::string build, bool override,
                                        bool noCal)
{
    const char* url = serverUrl.c_str();
    unsigned int number = 0;
    if (!build.empty() && !_to_build_number(build, &number)) {
        display->message(UpdaterDisplayInterface::LEVEL_ERROR,
                         "Build number '%s' must be an number", build.c_str());
        return 0;
    }
    if (serial == 0) {
        display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Serial Number must be non-zero");
        return 0;
    }
    if (!UpdateServerRequest::ping(url)) {
        display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Server request failed for %s", url);
        return 0;
    }
    std::unique_ptr<UpdaterStore> store = _createUpdaterStore(*display, storeDir,
                                                              "Download_Firmware");
    if (!store)
        return 0;

    UpdaterStoreItem item;
    try {
        if (!store->FindDevice(serial, &item)) {
            Log::log(DEBUG_APP, "Could not find device in our update history.\n");
            item = store->AddDevice(serial);
        }
    } catch (const std::runtime_error&) {
        display->message(UpdaterDisplayInterface::LEVEL_ERROR,
                         "Could not create directory for storing BIRD file");
        return 0;
    }

    // Asked even when a build was given: its version text goes with the image request.
    std::string serverBuild;
    std::string version;
    if (!UpdateServerRequest::QueryBuild(serial, serverBuild, version, url)) {
        display->message(UpdaterDisplayInterface::LEVEL_ERROR, "No build information for device");
        return 0;
    }
    if (number == 0 && !_to_build_number(serverBuild, &number)) {
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", serverBuild.c_str());
        number = 0;
    }

    display->message(UpdaterDisplayInterface::LEVEL_INFO, "Retrieving build %u", number);
    if (override) {
        display->message(UpdaterDisplayInterface::LEVEL_INFO,
                         "Override specified, skipping validation of build %u", number);
    } else {
        display->message(UpdaterDisplayInterface::LEVEL_INFO, "Validating build %u with server",
                         number);
        if (!_valid_build(serial, number, url)) {
            display->message(UpdaterDisplayInterface::LEVEL_ERROR, "No valid build %u", number);
            return 0;
        }
        display->message(UpdaterDisplayInterface::LEVEL_INFO, "Build %u is valid", number);
    }

    std::string buildText = std::to_string(number);
    std::string body;
    {
        std::promise<bool> promise;
        std::future<bool> future = promise.get_future();
        std::unique_ptr<_JoinedThread> worker;
        try {
            // The request has its own bounds (connect time-out, low-speed limit, a bound on
            // the whole request, body cap), so the worker always ends and the join below
            // always returns.
            worker.reset(new _JoinedThread(std::thread(
                [this, &promise, serial, version, buildText, &body, noCal]() {
                    bool ok = false;
                    try {
                        ok = UpdateServerRequest::GetBuild(serial, version.c_str(),
                                                           buildText.c_str(), body,
                                                           serverUrl.c_str(), noCal);
                    } catch (...) {
                        // An exception would end the process from a thread; it is a failure.
                        body.clear();
                    }
                    promise.set_value(ok);
                })));
        } catch (const std::system_error& e) {
            Log::log(DEBUG_Updater, "Download_Firmware: no worker thread: %s\n", e.what());
            display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Download failed");
            return 0;
        }
        display->update_spinner(true, "Downloading");
        while (future.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready)
            display->update_spinner(true, "Downloading");
        display->update_spinner(false, "Downloading");
        if (!future.get())
            display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Download failed");
        worker->join();
    }

    if (body.empty()) {
        display->message(UpdaterDisplayInterface::LEVEL_ERROR,
                         "Failed to retrieve a valid BIRD file");
        return 0;
    }

    // A body that does not decode, or decodes to something no BIRD loader takes, is refused
    // before anything in the store changes: a following update must never pick it up.
    unsigned long length = 0;
    unsigned char* bytes = base64_decode(body.data(), body.size(), &length);
    if (!bytes) {
        Log::log(DEBUG_Updater, "Download_Firmware: body of %lu characters is no base64\n",
                 (unsigned long)body.size());
        display->message(UpdaterDisplayInterface::LEVEL_ERROR,
                         "Failed to retrieve a valid BIRD file");
        return 0;
    }
    aErr err = aErrNone;
    bool loads = _loads_as_bird(item, bytes, length, &err);
    if (loads) {
        std::string fileName = buildText + ".bird";
        err = item.WriteFile(fileName.c_str(), bytes, length);
        if (err == aErrNone) {
            // Another updater may have saved the device's settings while the image came in
            // (an update recording its transfer): read them again so this save changes only
            // this download's keys.
            if (!item.attributes.filename.empty())
                item.attributes.Load(item.attributes.filename.c_str());
            std::string date = KeyValueStore::TimeStamp();
            item.attributes.Add("LATEST_DOWNLOAD", fileName);
            item.attributes.Add("LAST_DOWNLOAD_DATE", date);
            err = item.attributes.Save(nullptr);
            if (err != aErrNone) {
                free(bytes);
                display->message(UpdaterDisplayInterface::LEVEL_ERROR,
                                 "Failed to record the download with %d", err);
                return 0;
            }
        }
    }
    free(bytes);
    if (err != aErrNone) {
        display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to write file with %d",
                         err);
        return 0;
    }
    if (!loads) {
        display->message(UpdaterDisplayInterface::LEVEL_ERROR,
                         "Failed to retrieve a valid BIRD file");
        return 0;
    }
    return number;
}

std::map<std::string, std::string> Updater::Get_BuildList(unsigned int serial)
{
    std::map<std::string, std::string> builds;
    const char* url = serverUrl.c_str();
    if (!UpdateServerRequest::ping(url)) {
        display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Server request failed for %s", url);
        return builds;
    }
    if (!UpdateServerRequest::GetBuildList(serial, builds, url))
        display->message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to retrieve builds for %08X",
                         serial);
    return builds;
}

std::map<std::string, std::string> Updater::Get_BuildListLocal(unsigned int serial)
{
    std::map<std::string, std::string> builds;
    std::unique_ptr<UpdaterStore> store = _createUpdaterStore(*display, storeDir,
                                                              "Get_BuildListLocal");
    if (!store)
        return builds;
    std::vector<UpdaterStoreItem> items;
    store->FindLocalBuilds(serial, items);
    for (UpdaterStoreItem& item : items) {
        std::string key = item.name;
        size_t dot = key.find(".bird");
        if (dot != std::string::npos)
            key.erase(dot);
        std::string value;
        if (item.IsValid()) {
            std::string path = item.path + "/" + item.name;
            if (BirdFile::VerifyFile(path.c_str())) {
                try {
                    BirdFile image(path.c_str());
                    std::string version = image.GetVersion();
                    if (!version.empty()) {
                        value = version;
                        Log::log(DEBUG_Updater, "Found VERSION in birdfile: %s [%s]\n",
                                 path.c_str(), version.c_str());
                    }
                } catch (const std::runtime_error&) {
                    // Passes the signature check but does not load: listed without a version.
                }
            } else {
                Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
            }
        }
        builds.emplace(key, value);
    }
    return builds;
}
