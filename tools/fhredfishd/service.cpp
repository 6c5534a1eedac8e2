#include "service.h"

#include <httplib.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <stdarg.h>
#include <strings.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "frontend/filehandle_ulanddl.h"

namespace fhrf {

namespace {

constexpr char kSimpleUpdate[] = "UpdateService.SimpleUpdate";
constexpr char kSimpleUpdateTarget[] =
    "/redfish/v1/UpdateService/Actions/UpdateService.SimpleUpdate";
constexpr char kUploadLogo[] = "FileHandleManager.UploadLogo";
constexpr char kUploadLogoTarget[] =
    "/redfish/v1/Managers/1/Actions/Oem/FileHandleManager.UploadLogo";
constexpr char kRetryAfterSeconds[] = "10";
constexpr size_t kMaxBody = 64 * 1024;

uint32_t Now() {
    return static_cast<uint32_t>(time(nullptr));
}

void Reply(httplib::Response& res, int status, const Json& body) {
    res.status = status;
    // Texts from the library's records are not always UTF-8.
    res.set_content(body.dump(-1, ' ', false, Json::error_handler_t::replace),
                    "application/json; charset=utf-8");
}

void ReplyError(httplib::Response& res, int status, const Json& messages) {
    Reply(res, status, ErrorBody(messages));
}

Json Link(const std::string& uri) {
    return Json{{"@odata.id", uri}};
}

Json Resource(const char* id, const char* type, const char* context) {
    Json r;
    r["@odata.context"] = std::string("/redfish/v1/$metadata#") + context;
    r["@odata.id"] = id;
    r["@odata.type"] = type;
    return r;
}

Json ServiceRoot() {
    Json r = Resource("/redfish/v1/", "#ServiceRoot.v1_5_0.ServiceRoot", "ServiceRoot.ServiceRoot");
    r["Id"] = "RootService";
    r["Name"] = "Root Service";
    r["RedfishVersion"] = "1.6.0";
    r["Product"] = "fhredfishd";
    r["UpdateService"] = Link("/redfish/v1/UpdateService");
    r["Tasks"] = Link("/redfish/v1/TaskService");
    r["Managers"] = Link("/redfish/v1/Managers");
    r["Links"] = Json::object();
    return r;
}

Json UpdateService(bool verifyCertificate) {
    Json r = Resource("/redfish/v1/UpdateService", "#UpdateService.v1_8_0.UpdateService",
                      "UpdateService.UpdateService");
    r["Id"] = "UpdateService";
    r["Name"] = "Update Service";
    r["ServiceEnabled"] = true;
    r["VerifyCertificate"] = verifyCertificate;
    r["Status"] = {{"State", "Enabled"}, {"Health", "OK"}};
    Json action;
    action["target"] = kSimpleUpdateTarget;
    action["TransferProtocol@Redfish.AllowableValues"] = TransferProtocols();
    r["Actions"]["#UpdateService.SimpleUpdate"] = action;
    return r;
}

Json TaskService() {
    Json r = Resource("/redfish/v1/TaskService", "#TaskService.v1_1_4.TaskService",
                      "TaskService.TaskService");
    r["Id"] = "TaskService";
    r["Name"] = "Task Service";
    r["ServiceEnabled"] = true;
    r["DateTime"] = RedfishTime(Now());
    r["CompletedTaskOverWritePolicy"] = "Oldest";
    r["LifeCycleEventOnTaskStateChange"] = false;
    r["Status"] = {{"State", "Enabled"}, {"Health", "OK"}};
    r["Tasks"] = Link("/redfish/v1/TaskService/Tasks");
    return r;
}

Json Managers() {
    Json r = Resource("/redfish/v1/Managers", "#ManagerCollection.ManagerCollection",
                      "ManagerCollection.ManagerCollection");
    r["Name"] = "Manager Collection";
    r["Members"] = Json::array({Link("/redfish/v1/Managers/1")});
    r["Members@odata.count"] = 1;
    return r;
}

Json Manager() {
    Json r = Resource("/redfish/v1/Managers/1", "#Manager.v1_5_0.Manager", "Manager.Manager");
    r["Id"] = "1";
    r["Name"] = "Manager";
    r["ManagerType"] = "BMC";
    r["Status"] = {{"State", "Enabled"}, {"Health", "OK"}};
    Json action;
    action["target"] = kUploadLogoTarget;
    action["TransferProtocol@Redfish.AllowableValues"] = TransferProtocols();
    action["ImageName@Redfish.AllowableValues"] = LogoUploads::Names();
    r["Actions"]["Oem"]["#FileHandleManager.UploadLogo"] = action;
    return r;
}

// Overwrites the secrets of a parsed request body once the request is done.
class BodySecrets {
  public:
    explicit BodySecrets(Json* body) : body_(body) {}
    ~BodySecrets() {
        if (!body_->is_object()) {
            return;
        }
        for (const char* name : {"Password", "ImageURI", "Username"}) {
            auto it = body_->find(name);
            if (it != body_->end() && it->is_string()) {
                Wipe(&it->get_ref<std::string&>());
            }
        }
    }
    BodySecrets(const BodySecrets&) = delete;
    BodySecrets& operator=(const BodySecrets&) = delete;

  private:
    Json* body_;
};

// Reads ImageURI, TransferProtocol, Username and Password (and an empty Targets list for
// SimpleUpdate). False, with `res` answered, for a body the action cannot take.
bool ReadParameters(const Json& body, httplib::Response& res, const std::string& action,
                    ImageSource* source) {
    if (body.is_discarded() || !body.is_object()) {
        ReplyError(res, 400, Message("Base.MalformedJSON"));
        return false;
    }
    for (auto it = body.begin(); it != body.end(); ++it) {
        const std::string& name = it.key();
        if (name == "Targets" && action == kSimpleUpdate) {
            // The image is fetched onto the controller; it does not pick components.
            if (!it->is_array() || !it->empty()) {
                ReplyError(res, 400, Message("Base.ActionParameterNotSupported", {name, action}));
                return false;
            }
            continue;
        }
        if (name != "ImageURI" && name != "TransferProtocol" && name != "Username" &&
            name != "Password") {
            ReplyError(res, 400, Message("Base.ActionParameterUnknown", {action, name}));
            return false;
        }
        if (!it->is_string()) {
            std::string shown = name == "Password"
                                    ? "<hidden>"
                                    : it->dump(-1, ' ', false, Json::error_handler_t::replace);
            ReplyError(res, 400,
                       Message("Base.ActionParameterValueTypeError", {shown, name, action}));
            return false;
        }
        const std::string& value = it->get_ref<const std::string&>();
        if (name == "ImageURI") {
            source->imageUri = value;
        } else if (name == "TransferProtocol") {
            source->transferProtocol = value;
        } else if (name == "Username") {
            source->username = value;
        } else {
            source->password = value;
        }
    }
    if (body.find("ImageURI") == body.end()) {
        ReplyError(res, 400, Message("Base.ActionParameterMissing", {action, "ImageURI"}));
        return false;
    }
    return true;
}

bool Plan(const ImageSource& source, const std::string& action, httplib::Response& res,
          TransferPlan* plan) {
    PlanProblem problem;
    if (!PlanTransfer(source, action, plan, &problem)) {
        ReplyError(res, 400, Message(problem.key, problem.args));
        return false;
    }
    return true;
}

void ReplyAccepted(httplib::Response& res, const TaskRef& ref) {
    TaskView view = ReadTask(ref, Now());
    Json body = view.task;
    if (view.lookup != TaskView::kFound) {  // gone already: show its Id and monitor at least
        body = Json{{"@odata.id", TaskUri(ref)}, {"@odata.type", "#Task.v1_4_3.Task"},
                    {"Id", TaskIdText(ref)},     {"Name", "Task " + TaskIdText(ref)},
                    {"TaskState", "Running"},    {"TaskMonitor", TaskMonitorUri(ref)}};
    }
    res.set_header("Location", TaskMonitorUri(ref));
    Reply(res, 202, body);
}

std::string Base64Decode(const std::string& text, bool* ok) {
    *ok = false;
    if (text.empty() || text.size() % 4 != 0 || text.size() > 1024) {
        return std::string();
    }
    std::string out(text.size() / 4 * 3, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                            reinterpret_cast<const unsigned char*>(text.data()),
                            static_cast<int>(text.size()));
    if (n < 0) {
        return std::string();
    }
    // EVP_DecodeBlock counts the bytes that the padding stands for.
    size_t pad = text[text.size() - 1] == '=' ? (text[text.size() - 2] == '=' ? 2 : 1) : 0;
    out.resize(static_cast<size_t>(n) - pad);
    *ok = true;
    return out;
}

// Compares digests, so that neither the time taken nor an early return tells the
// length of the configured secret or how much of it matched.
bool SameSecret(const std::string& a, const std::string& b) {
    unsigned char da[EVP_MAX_MD_SIZE], db[EVP_MAX_MD_SIZE];
    unsigned int na = 0, nb = 0;
    if (EVP_Digest(a.data(), a.size(), da, &na, EVP_sha256(), nullptr) != 1 ||
        EVP_Digest(b.data(), b.size(), db, &nb, EVP_sha256(), nullptr) != 1 || na != nb) {
        return false;
    }
    bool same = CRYPTO_memcmp(da, db, na) == 0;
    OPENSSL_cleanse(da, sizeof da);
    OPENSSL_cleanse(db, sizeof db);
    return same;
}

// Each failed login in a row makes its answer wait longer (100 ms, doubling up to 1 s), so that
// passwords cannot be tried at the speed of the network; a good login starts afresh.
class LoginBackoff {
  public:
    void Failed() {
        unsigned n = failures_.fetch_add(1) + 1;
        unsigned ms = n >= 5 ? 1000u : 100u << (n - 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
    void Succeeded() { failures_.store(0); }

  private:
    std::atomic<unsigned> failures_{0};
};

LoginBackoff g_backoff;

// Bodies of POST and PATCH are JSON documents, announced as such; anything else is
// answered 415. (Checked in the handlers, once the body has been read: refused before,
// the unread body would be taken for the connection's next request.)
bool JsonMediaType(const httplib::Request& req, httplib::Response& res) {
    std::string type = req.get_header_value("Content-Type");
    const char kJson[] = "application/json";
    if (strncasecmp(type.c_str(), kJson, sizeof kJson - 1) == 0 &&
        (type.size() == sizeof kJson - 1 || type[sizeof kJson - 1] == ';' ||
         type[sizeof kJson - 1] == ' ')) {
        return true;
    }
    ReplyError(res, 415, Message("Base.UnsupportedMediaType"));
    return false;
}

// The plan of an action's JSON body; false when the request was answered with its refusal.
// The body's secrets are wiped once it is read.
bool PlanAction(const httplib::Request& req, httplib::Response& res, const std::string& action,
                TransferPlan* plan) {
    if (!JsonMediaType(req, res)) {
        return false;
    }
    Json body = Json::parse(req.body, nullptr, false);
    BodySecrets secrets(&body);
    ImageSource source;
    return ReadParameters(body, res, action, &source) && Plan(source, action, res, plan);
}

bool IsPublic(const httplib::Request& req) {
    if (req.method != "GET" && req.method != "HEAD") {
        return false;
    }
    return req.path == "/redfish" || req.path == "/redfish/" || req.path == "/redfish/v1" ||
           req.path == "/redfish/v1/";
}

}  // namespace

void Log::Line(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    time_t now = time(nullptr);
    struct tm parts;
    char stamp[32] = "";
    if (localtime_r(&now, &parts) != nullptr) {
        strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &parts);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    fprintf(out_, "%s fhredfishd: %s\n", stamp, text);
    fflush(out_);
}

bool Service::Authenticated(const httplib::Request& req, std::string* user) const {
    if (config_.noAuth) {
        *user = "anonymous";
        return true;
    }
    std::string header = req.get_header_value("Authorization");
    if (header.size() < 6 || strncasecmp(header.c_str(), "Basic ", 6) != 0) {
        return false;
    }
    std::string encoded = header.substr(6);
    encoded.erase(0, encoded.find_first_not_of(' '));
    bool ok = false;
    std::string decoded = Base64Decode(encoded, &ok);
    Wipe(&encoded);
    Wipe(&header);
    size_t colon = decoded.find(':');
    bool good = ok && colon != std::string::npos;
    if (good) {
        std::string name = decoded.substr(0, colon);
        std::string password = decoded.substr(colon + 1);
        // Both compared in full, whatever the first comparison says.
        bool nameOk = SameSecret(name, config_.user);
        bool passwordOk = SameSecret(password, config_.password);
        good = nameOk && passwordOk;
        if (good) {
            *user = name;
        }
        Wipe(&password);
    }
    Wipe(&decoded);
    return good;
}

void Service::Install(httplib::Server& server) {
    server.set_payload_max_length(kMaxBody);
    server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        std::string user;
        if (IsPublic(req)) {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        if (Authenticated(req, &user)) {
            g_backoff.Succeeded();
            return httplib::Server::HandlerResponse::Unhandled;
        }
        g_backoff.Failed();
        res.set_header("WWW-Authenticate", "Basic realm=\"fhredfishd\"");
        // The refused request's body is never read: the connection closes after the answer,
        // so that the body cannot be taken for the client's next request.
        res.set_header("Connection", "close");
        ReplyError(res, 401, Message("Base.NoValidSession"));
        return httplib::Server::HandlerResponse::Handled;
    });
    server.set_error_handler(httplib::Server::HandlerWithResponse(
        [](const httplib::Request& req, httplib::Response& res) {
            if (!res.body.empty()) {
                return httplib::Server::HandlerResponse::Unhandled;
            }
            if (res.status == 404) {
                ReplyError(res, 404, Message("Base.ResourceMissingAtURI", {req.path}));
            } else if (res.status == 413) {
                ReplyError(res, 413, Message("Base.PayloadTooLarge"));
            } else if (res.status == 405) {
                ReplyError(res, 405, Message("Base.OperationNotAllowed"));
            } else {
                ReplyError(res, res.status, Message("Base.InternalError"));
            }
            return httplib::Server::HandlerResponse::Handled;
        }));
    server.set_exception_handler(
        [this](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
            log_.Line("request failed with an exception");
            ReplyError(res, 500, Message("Base.InternalError"));
        });
    server.set_post_routing_handler([](const httplib::Request&, httplib::Response& res) {
        res.set_header("OData-Version", "4.0");
        res.set_header("Cache-Control", "no-store");
    });
    server.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
        log_.Line("%s %s %s -> %d", req.remote_addr.c_str(), req.method.c_str(), req.path.c_str(),
                  res.status);
    });

    server.Get("/redfish/?", [](const httplib::Request&, httplib::Response& res) {
        Reply(res, 200, Json{{"v1", "/redfish/v1/"}});
    });
    server.Get("/redfish/v1/?", [](const httplib::Request&, httplib::Response& res) {
        Reply(res, 200, ServiceRoot());
    });
    server.Get("/redfish/v1/UpdateService/?",
               [this](const httplib::Request&, httplib::Response& res) {
                   Reply(res, 200, UpdateService(verifyCertificate_.load()));
               });
    server.Patch("/redfish/v1/UpdateService/?",
                 [this](const httplib::Request& req, httplib::Response& res) {
                     PatchUpdateService(req, res);
                 });
    server.Post(kSimpleUpdateTarget, [this](const httplib::Request& req, httplib::Response& res) {
        SimpleUpdate(req, res);
    });
    server.Get("/redfish/v1/TaskService/?", [](const httplib::Request&, httplib::Response& res) {
        Reply(res, 200, TaskService());
    });
    server.Get("/redfish/v1/TaskService/Tasks/?",
               [this](const httplib::Request&, httplib::Response& res) { GetTasks(res); });
    server.Get(kTaskRoute, [this](const httplib::Request& req, httplib::Response& res) {
        GetTask(req, res, false);
    });
    server.Delete(kTaskRoute, [this](const httplib::Request& req, httplib::Response& res) {
        DeleteTask(req, res);
    });
    server.Get(kTaskMonitorRoute, [this](const httplib::Request& req, httplib::Response& res) {
        GetTask(req, res, true);
    });
    server.Delete(kTaskMonitorRoute, [this](const httplib::Request& req, httplib::Response& res) {
        DeleteTask(req, res);
    });
    server.Get("/redfish/v1/Managers/?", [](const httplib::Request&, httplib::Response& res) {
        Reply(res, 200, Managers());
    });
    server.Get("/redfish/v1/Managers/1/?",
               [](const httplib::Request&, httplib::Response& res) { Reply(res, 200, Manager()); });
    server.Post(kUploadLogoTarget, [this](const httplib::Request& req, httplib::Response& res) {
        UploadLogo(req, res);
    });
}

// The one writable property: VerifyCertificate. Turning it on needs the CA bundle that
// image servers' certificates are checked against.
void Service::PatchUpdateService(const httplib::Request& req, httplib::Response& res) {
    if (!JsonMediaType(req, res)) {
        return;
    }
    Json body = Json::parse(req.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) {
        ReplyError(res, 400, Message("Base.MalformedJSON"));
        return;
    }
    for (auto it = body.begin(); it != body.end(); ++it) {
        if (it.key() != "VerifyCertificate") {
            ReplyError(res, 400, Message("Base.PropertyUnknown", {it.key()}));
            return;
        }
        if (!it->is_boolean()) {
            ReplyError(res, 400, Message("Base.PropertyValueTypeError", {it->dump(), it.key()}));
            return;
        }
        if (it->get<bool>() && config_.caBundle.empty()) {
            ReplyError(res, 400, Message("Base.PropertyValueConflict", {it.key(), "ca-bundle"}));
            return;
        }
    }
    if (body.contains("VerifyCertificate")) {
        verifyCertificate_.store(body["VerifyCertificate"].get<bool>());
        log_.Line("VerifyCertificate set to %s", verifyCertificate_.load() ? "true" : "false");
    }
    Reply(res, 200, UpdateService(verifyCertificate_.load()));
}

void Service::SimpleUpdate(const httplib::Request& req, httplib::Response& res) {
    TransferPlan plan;
    if (!PlanAction(req, res, kSimpleUpdate, &plan)) {
        return;
    }
    std::string localPath = config_.imageDir + "/" + plan.fileName;
    StartResult started =
        StartTransfer(plan, localPath, verifyCertificate_.load() ? config_.caBundle : "");
    switch (started.kind) {
        case StartResult::kStarted:
            log_.Line("task %u: %s download of %s into %s started", started.id,
                      plan.protocol.c_str(), plan.fileName.c_str(), config_.imageDir.c_str());
            ReplyAccepted(res, TaskRef{TaskRef::kTransfer, started.id});
            return;
        case StartResult::kRefused:
            log_.Line("%s image URI refused by the library (%s)", plan.protocol.c_str(),
                      HexCode(started.code).c_str());
            ReplyError(
                res, 400,
                Json::array({Message("Base.ActionParameterValueFormatError",
                                     {plan.shownUri, "ImageURI", kSimpleUpdate}),
                             LibraryResultMessage("The image URI was refused", started.code)}));
            return;
        case StartResult::kBusy:
            log_.Line("all %u transfer task slots are taken", FILEHANDLE_THREAD_MAX);
            res.set_header("Retry-After", kRetryAfterSeconds);
            ReplyError(res, 503,
                       Message("Base.ServiceTemporarilyUnavailable", {kRetryAfterSeconds}));
            return;
        case StartResult::kFailed:
            log_.Line("%s transfer not started (%s)", plan.protocol.c_str(),
                      HexCode(started.code).c_str());
            ReplyError(res, 500,
                       Json::array({Message("Base.InternalError"),
                                    LibraryResultMessage("The transfer could not be started",
                                                         started.code)}));
            return;
    }
}

void Service::UploadLogo(const httplib::Request& req, httplib::Response& res) {
    TransferPlan plan;
    if (!PlanAction(req, res, kUploadLogo, &plan)) {
        return;
    }
    if (!plan.httpUser.empty()) {  // the logo upload takes no HTTP credentials
        ReplyError(res, 400,
                   Message("Base.ActionParameterNotSupported", {"Username", kUploadLogo}));
        return;
    }
    std::vector<std::string> names = LogoUploads::Names();
    if (std::find(names.begin(), names.end(), plan.fileName) == names.end()) {
        ReplyError(res, 400,
                   Message("Base.ActionParameterValueNotInList",
                           {plan.fileName, "ImageURI", kUploadLogo}));
        return;
    }
    // Only the name is wanted here: the request already passed authentication on routing.
    std::string user;
    (void)Authenticated(req, &user);
    LogoUploads::Outcome outcome = logos_.Start(plan.command, user);
    switch (outcome.kind) {
        case LogoUploads::Outcome::kTask:
            log_.Line("task Logo%u: %s upload of logo %s started", outcome.taskId,
                      plan.protocol.c_str(), plan.fileName.c_str());
            ReplyAccepted(res, TaskRef{TaskRef::kLogo, outcome.taskId});
            return;
        case LogoUploads::Outcome::kRefused:
            log_.Line("logo upload refused (%s)", HexCode(outcome.code).c_str());
            ReplyError(
                res, 400,
                Json::array({outcome.code == FILEHANDLE_E_LOGO_UNSUPPORTED
                                 ? Message("Base.ActionNotSupported", {kUploadLogo})
                                 : Message("Base.ActionParameterValueFormatError",
                                           {plan.shownUri, "ImageURI", kUploadLogo}),
                             LibraryResultMessage("The logo upload was refused", outcome.code)}));
            return;
        case LogoUploads::Outcome::kDoneWithoutTask:
            log_.Line("logo %s installed without a task", plan.fileName.c_str());
            res.status = 204;
            return;
        case LogoUploads::Outcome::kTimeout:
            log_.Line("logo upload: no task registered in time");
            res.set_header("Retry-After", kRetryAfterSeconds);
            ReplyError(res, 503,
                       Message("Base.ServiceTemporarilyUnavailable", {kRetryAfterSeconds}));
            return;
    }
}

void Service::GetTask(const httplib::Request& req, httplib::Response& res, bool monitor) {
    std::string id = req.matches[1];
    std::optional<TaskRef> ref = ParseTaskId(id);
    TaskView view;
    if (ref) {
        view = ReadTask(*ref, Now());
    }
    if (!ref || view.lookup == TaskView::kMissing) {
        ReplyError(res, 404, Message("Base.ResourceNotFound", {"Task", id}));
        return;
    }
    if (view.lookup == TaskView::kUnreadable) {
        ReplyError(
            res, 500,
            Json::array({Message("Base.InternalError"),
                         LibraryResultMessage("The task could not be read", view.readCode)}));
        return;
    }
    if (!monitor) {
        Reply(res, 200, view.task);
        return;
    }
    // A task monitor answers 202 while the operation runs, then its outcome.
    if (!view.ended) {
        res.set_header("Location", TaskMonitorUri(*ref));
        Reply(res, 202, view.task);
    } else if (!view.failed) {
        Reply(res, 200, view.task);
    } else {
        ReplyError(res, 500, view.task["Messages"]);
    }
}

void Service::DeleteTask(const httplib::Request& req, httplib::Response& res) {
    std::string id = req.matches[1];
    std::optional<TaskRef> ref = ParseTaskId(id);
    uint32_t code = 0;
    DeleteResult result = ref ? fhrf::DeleteTask(*ref, &code) : DeleteResult::kMissing;
    switch (result) {
        case DeleteResult::kDeleted:
            log_.Line("task %s deleted", id.c_str());
            res.status = 204;
            return;
        case DeleteResult::kMissing:
            ReplyError(res, 404, Message("Base.ResourceNotFound", {"Task", id}));
            return;
        case DeleteResult::kNotDeletable:
            ReplyError(res, 405, Message("Base.ResourceCannotBeDeleted"));
            return;
        case DeleteResult::kFailed:
            ReplyError(res, 500,
                       Json::array({Message("Base.InternalError"),
                                    LibraryResultMessage("The task was not deleted", code)}));
            return;
    }
}

void Service::GetTasks(httplib::Response& res) {
    std::vector<TaskRef> tasks;
    if (!ListTasks(&tasks)) {
        ReplyError(res, 500, Message("Base.InternalError"));
        return;
    }
    Json r = Resource("/redfish/v1/TaskService/Tasks", "#TaskCollection.TaskCollection",
                      "TaskCollection.TaskCollection");
    r["Name"] = "Task Collection";
    Json members = Json::array();
    for (const TaskRef& ref : tasks) {
        members.push_back(Link(TaskUri(ref)));
    }
    r["Members"] = members;
    r["Members@odata.count"] = tasks.size();
    Reply(res, 200, r);
}

}  // namespace fhrf
