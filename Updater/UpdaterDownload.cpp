// Downloads of firmware images into the store, and the build lists of the server and of the
// store.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <future>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#include "AtomicFile.h"
#include "BirdFile.h"
#include "KeyValueStore.h"
#include "Log.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterStore.h"
#include "base64.h"
#include "path.h"

// std::stoul takes "-1" for its largest value and reads past 32 bits.
bool _to_build_number(const std::string& text, unsigned int* number)
{
    size_t first = text.find_first_not_of(" \t\n\v\f\r");
    if (first != std::string::npos && text[first] == '-')
        return false;
    try {
        unsigned long value = std::stoul(text, nullptr, 10);
        if (value > UINT32_MAX)
            return false;
        *number = (unsigned int)value;
        return true;
    } catch (const std::logic_error&) {
        return false;
    }
}

// Whether the server lists build for the device; why tells a failed query from a list without
// the build (it is left empty then).
static bool _valid_build(unsigned int serial, unsigned int build, const char* serverUrl,
                         std::string* why)
{
    std::map<std::string, std::string> builds;
    if (!UpdateServerRequest::GetBuildList(serial, builds, serverUrl, why))
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

// Whether bytes load as a whole BIRD image: they are written to a temporary file beside the
// image (which no listing counts, whose lock keeps other runs' clean-up off it while it is
// read, and which a later write removes should this run die meanwhile), loaded from there and
// the file removed again. An image whose block stream ends inside a block lacks that block
// and all after it: an update would write part of the firmware.
static bool _loads_as_bird(UpdaterStoreItem& item, const unsigned char* bytes, unsigned long length,
                           aErr* writeError, int* reason)
{
    *reason = 0;
    if (!item.IsValid()) {
        *writeError = aErrParam;
        return false;
    }
    std::string dir = BuildPath(item.path.c_str(), item.name.c_str(), nullptr);
    AtomicFile::RemoveStaleTemporaries(dir.c_str());
    TemporaryFile probe;
    *writeError = probe.Create(BuildPath(dir.c_str(), "download.bird", nullptr));
    if (*writeError == aErrNone)
        *writeError = probe.Write(bytes, length);
    if (*writeError != aErrNone) {
        *reason = probe.Reason();
        return false;
    }
    const char* path = probe.Path().c_str();
    bool loads = false;
    if (BirdFile::VerifyFile(path)) {
        try {
            BirdFile image(path);
            loads = image.blockCount > 0 && !image.truncated;
            if (image.truncated)
                Log::log(DEBUG_Updater, "Download_Firmware: image ends inside a block\n");
        } catch (const std::runtime_error&) {
            loads = false;
        }
    }
    return loads;
}

static const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
static const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

// The device's store entry, made when the device has none; false after an error line.
static bool _download_entry(UpdaterDisplayInterface& display, UpdaterStore& store,
                            unsigned int serial, UpdaterStoreItem* item)
{
    try {
        if (!store.FindDevice(serial, item)) {
            Log::log(DEBUG_APP, "Could not find device in our update history.\n");
            *item = store.AddDevice(serial);
        }
    } catch (const std::runtime_error&) {
        display.message(ERROR, "Could not create directory for storing BIRD file");
        return false;
    }
    return true;
}

// The build to fetch (*number when set, else the server's current one) and the version text
// its request carries; false after an error line when the server has none or does not list it.
static bool _download_build(UpdaterDisplayInterface& display, const char* url,
                            unsigned int serial, bool override, unsigned int* number,
                            std::string* version)
{
    // Asked even when a build was given: its version text goes with the image request.
    std::string serverBuild, why;
    if (!UpdateServerRequest::QueryBuild(serial, serverBuild, *version, url, &why)) {
        display.message(ERROR, "No build information for device");
        _display_reason(display, why);
        return false;
    }
    if (*number == 0 && !_to_build_number(serverBuild, number)) {
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", serverBuild.c_str());
        *number = 0;
    }
    display.message(INFO, "Retrieving build %u", *number);
    // 0 is the download's own failure result: an image stored as build 0 could never be
    // reported, nor picked up by a following update.
    if (override && *number == 0) {
        display.message(ERROR, "No valid build %u", *number);
        return false;
    }
    if (override) {
        display.message(INFO, "Override specified, skipping validation of build %u", *number);
        return true;
    }
    display.message(INFO, "Validating build %u with server", *number);
    if (!_valid_build(serial, *number, url, &why) || *number == 0) {
        display.message(ERROR, "No valid build %u", *number);
        _display_reason(display, why);
        return false;
    }
    display.message(INFO, "Build %u is valid", *number);
    return true;
}

// The image request on a worker thread while the spinner turns; false after an error line
// when no thread can be made. A failed request leaves body empty.
static bool _fetch_body(UpdaterDisplayInterface& display, const std::string& url,
                        unsigned int serial, const std::string& version,
                        const std::string& buildText, bool noCal, std::string& body)
{
    std::promise<bool> promise;
    std::future<bool> future = promise.get_future();
    // Written by the worker before it keeps its promise, read here only after that.
    std::string why;
    std::unique_ptr<_JoinedThread> worker;
    try {
        // The request has its own bounds (connect time-out, low-speed limit, a bound on the
        // whole request, body cap), so the worker always ends and the join below always
        // returns.
        worker.reset(new _JoinedThread(
            std::thread([&promise, &url, serial, version, buildText, &body, noCal, &why]() {
                bool ok = false;
                try {
                    ok = UpdateServerRequest::GetBuild(serial, version.c_str(), buildText.c_str(),
                                                       body, url.c_str(), noCal, &why);
                } catch (...) {
                    // An exception would end the process from a thread; it is a failure.
                    body.clear();
                }
                promise.set_value(ok);
            })));
    } catch (const std::system_error& e) {
        Log::log(DEBUG_Updater, "Download_Firmware: no worker thread: %s\n", e.what());
        display.message(ERROR, "Download failed");
        return false;
    }
    display.update_spinner(true, "Downloading");
    while (future.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready)
        display.update_spinner(true, "Downloading");
    display.update_spinner(false, "Downloading");
    if (!future.get()) {
        display.message(ERROR, "Download failed");
        _display_reason(display, why);
    }
    worker->join();
    return true;
}

// Another updater may save the device's settings at any time (an update recording its
// transfer): the record reads them again under their lock, so it changes only this
// download's keys.
static aErr _record_download(UpdaterStoreItem& item, const std::string& fileName)
{
    return item.attributes.Record(
        {{"LATEST_DOWNLOAD", fileName}, {"LAST_DOWNLOAD_DATE", KeyValueStore::TimeStamp()}});
}

// The decoded image, freed on every way out.
using _DecodedBytes = std::unique_ptr<unsigned char, void (*)(void*)>;

// Decodes the body and stores it as buildText.bird with its record; false after an error line.
static bool _store_download(UpdaterDisplayInterface& display, UpdaterStoreItem& item,
                            const std::string& body, const std::string& buildText)
{
    if (body.empty()) {
        display.message(ERROR, "Failed to retrieve a valid BIRD file");
        return false;
    }
    // A body that does not decode, or decodes to something no BIRD loader takes, is refused
    // before anything in the store changes: a following update must never pick it up.
    unsigned long length = 0;
    _DecodedBytes bytes(base64_decode(body.data(), body.size(), &length), std::free);
    if (!bytes) {
        Log::log(DEBUG_Updater, "Download_Firmware: body of %lu characters is no base64\n",
                 (unsigned long)body.size());
        display.message(ERROR, "Failed to retrieve a valid BIRD file");
        return false;
    }
    aErr err = aErrNone;
    int reason = 0;
    bool loads = _loads_as_bird(item, bytes.get(), length, &err, &reason);
    if (loads) {
        std::string fileName = buildText + ".bird";
        err = item.WriteFile(fileName.c_str(), bytes.get(), length, &reason);
        if (err == aErrNone) {
            err = _record_download(item, fileName);
            if (err != aErrNone) {
                display.message(ERROR, "Failed to record the download with %d", err);
                _display_reason(display, item.attributes.ReasonText(err));
                return false;
            }
        }
    }
    if (err != aErrNone) {
        display.message(ERROR, "Failed to write file with %d", err);
        _display_reason(display, AtomicFile::ReasonText(err, reason));
        return false;
    }
    if (!loads) {
        display.message(ERROR, "Failed to retrieve a valid BIRD file");
        return false;
    }
    return true;
}

unsigned int Updater::Download_Firmware(unsigned int serial, std::string build, bool override,
                                        bool noCal)
{
    const char* url = serverUrl.c_str();
    unsigned int number = 0;
    if (!build.empty() && !_to_build_number(build, &number)) {
        display->message(ERROR, "Build number '%s' must be an number", build.c_str());
        return 0;
    }
    if (serial == 0) {
        display->message(ERROR, "Serial Number must be non-zero");
        return 0;
    }
    std::string why;
    if (!UpdateServerRequest::ping(url, &why)) {
        display->message(ERROR, "Server request failed for %s", url);
        _display_reason(*display, why);
        return 0;
    }
    std::unique_ptr<UpdaterStore> store = _createUpdaterStore(*display, storeDir,
                                                              "Download_Firmware");
    if (!store)
        return 0;
    UpdaterStoreItem item;
    if (!_download_entry(*display, *store, serial, &item))
        return 0;
    std::string version;
    if (!_download_build(*display, url, serial, override, &number, &version))
        return 0;

    std::string buildText = std::to_string(number);
    std::string body;
    if (!_fetch_body(*display, serverUrl, serial, version, buildText, noCal, body))
        return 0;
    if (!_store_download(*display, item, body, buildText))
        return 0;
    return number;
}

std::map<std::string, std::string> Updater::Get_BuildList(unsigned int serial, bool* failed)
{
    std::map<std::string, std::string> builds;
    const char* url = serverUrl.c_str();
    std::string why;
    bool answered = UpdateServerRequest::ping(url, &why);
    if (!answered) {
        display->message(ERROR, "Server request failed for %s", url);
    } else if (!(answered = UpdateServerRequest::GetBuildList(serial, builds, url, &why))) {
        display->message(ERROR, "Failed to retrieve builds for %08X", serial);
    }
    if (!answered)
        _display_reason(*display, why);
    if (failed)
        *failed = !answered;
    return builds;
}

std::map<std::string, std::string> _local_build_list(const std::vector<UpdaterStoreItem>& items)
{
    std::map<std::string, std::string> builds;
    // Keys whose entry is the image itself, "<key>.bird".
    std::set<std::string> images;
    for (const UpdaterStoreItem& item : items) {
        std::string key = item.name;
        size_t dot = key.find(".bird");
        if (dot != std::string::npos)
            key.erase(dot);
        // "1300.bird.bak" or "1300" beside 1300.bird must not lend build 1300 its version,
        // whichever the directory lists first: the image an update loads is the one shown.
        bool isImage = item.name == key + ".bird";
        if (builds.count(key) && (!isImage || images.count(key)))
            continue;
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
        builds[key] = value;
        if (isImage)
            images.insert(key);
    }
    return builds;
}

std::map<std::string, std::string> Updater::Get_BuildListLocal(unsigned int serial)
{
    std::unique_ptr<UpdaterStore> store = _createUpdaterStore(*display, storeDir,
                                                              "Get_BuildListLocal");
    if (!store)
        return {};
    std::vector<UpdaterStoreItem> items;
    store->FindLocalBuilds(serial, items);
    return _local_build_list(items);
}
