#include "messages.h"

#include <stdio.h>
#include <time.h>

namespace fhrf {

namespace {

struct Entry {
    const char* key;   // registry-less name used by the callers
    const char* id;    // MessageId as sent
    const char* text;  // with %1, %2, ...
    const char* severity;
    const char* resolution;
};

// Texts as in DMTF's Base 1.8 and TaskEvent 1.0 registries.
const Entry kEntries[] = {
    {"Base.MalformedJSON", "Base.1.8.MalformedJSON",
     "The request body submitted was malformed JSON and could not be parsed by the receiving "
     "service.",
     "Critical", "Ensure that the request body is valid JSON and resubmit the request."},
    {"Base.ActionParameterMissing", "Base.1.8.ActionParameterMissing",
     "The action %1 requires the parameter %2 to be present in the request body.", "Critical",
     "Supply the action with the required parameter in the request body when the request is "
     "resubmitted."},
    {"Base.ActionParameterUnknown", "Base.1.8.ActionParameterUnknown",
     "The action %1 was submitted with the invalid parameter %2.", "Warning",
     "Correct the invalid parameter and resubmit the request if the operation failed."},
    {"Base.ActionParameterNotSupported", "Base.1.8.ActionParameterNotSupported",
     "The parameter %1 for the action %2 is not supported on the target resource.", "Warning",
     "Remove the parameter supplied and resubmit the request if the operation failed."},
    {"Base.ActionParameterValueTypeError", "Base.1.8.ActionParameterValueTypeError",
     "The value '%1' for the parameter %2 in the action %3 is of a different type than the "
     "parameter can accept.",
     "Warning",
     "Correct the value for the parameter in the request body and resubmit the "
     "request if the operation failed."},
    {"Base.ActionParameterValueFormatError", "Base.1.8.ActionParameterValueFormatError",
     "The value '%1' for the parameter %2 in the action %3 is of a different format than the "
     "parameter can accept.",
     "Warning",
     "Correct the value for the parameter in the request body and resubmit the "
     "request if the operation failed."},
    {"Base.ActionParameterValueNotInList", "Base.1.8.ActionParameterValueNotInList",
     "The value '%1' for the parameter %2 in the action %3 is not in the list of acceptable "
     "values.",
     "Warning",
     "Choose a value from the enumeration list that the implementation can support "
     "and resubmit the request if the operation failed."},
    {"Base.ActionNotSupported", "Base.1.8.ActionNotSupported",
     "The action %1 is not supported by the resource.", "Critical",
     "The action supplied cannot be resubmitted to the implementation.  Perhaps the action "
     "was invalid, the wrong resource was the target or the implementation documentation may "
     "be of assistance."},
    {"Base.ServiceTemporarilyUnavailable", "Base.1.8.ServiceTemporarilyUnavailable",
     "The service is temporarily unavailable.  Retry in %1 seconds.", "Critical",
     "Wait for the indicated retry duration and retry the operation."},
    {"Base.ResourceMissingAtURI", "Base.1.8.ResourceMissingAtURI",
     "The resource at the URI '%1' was not found.", "Critical",
     "Place a valid resource at the URI or correct the URI and resubmit the request."},
    {"Base.ResourceNotFound", "Base.1.8.ResourceNotFound",
     "The requested resource of type %1 named '%2' was not found.", "Critical",
     "Provide a valid resource identifier and resubmit the request."},
    {"Base.ResourceCannotBeDeleted", "Base.1.8.ResourceCannotBeDeleted",
     "The delete request failed because the resource requested cannot be deleted.", "Critical",
     "Do not attempt to delete a non-deletable resource."},
    {"Base.OperationNotAllowed", "Base.1.8.OperationNotAllowed",
     "The HTTP method is not allowed on this resource.", "Critical", "None."},
    {"Base.NoValidSession", "Base.1.8.NoValidSession",
     "There is no valid session established with the implementation.", "Critical",
     "Establish a session before attempting any operations."},
    {"Base.InternalError", "Base.1.8.InternalError",
     "The request failed due to an internal service error.  The service is still operational.",
     "Critical", "Resubmit the request.  If the problem persists, consider resetting the service."},
    {"Base.PropertyUnknown", "Base.1.8.PropertyUnknown",
     "The property %1 is not in the list of valid properties for the resource.", "Warning",
     "Remove the unknown property from the request body and resubmit the request."},
    {"Base.PropertyValueTypeError", "Base.1.8.PropertyValueTypeError",
     "The value %1 for the property %2 is of a different type than the property can accept.",
     "Warning", "Correct the value for the property in the request body and resubmit."},
    {"Base.PropertyValueConflict", "Base.1.8.PropertyValueConflict",
     "The property '%1' could not be written because its value would conflict with the value "
     "of the '%2' property.",
     "Warning", "No resolution is required."},
    {"Base.UnsupportedMediaType", "Base.1.8.GeneralError",
     "The request body is not of the media type application/json.", "Critical",
     "Send the body as application/json."},
    {"Base.PayloadTooLarge", "Base.1.8.GeneralError", "The request body is too large.", "Critical",
     "Send a smaller request body."},
    {"TaskEvent.TaskStarted", "TaskEvent.1.0.TaskStarted", "The task with Id '%1' has started.",
     "OK", "None."},
    {"TaskEvent.TaskProgressChanged", "TaskEvent.1.0.TaskProgressChanged",
     "The task with Id '%1' has changed to progress %2 percent complete.", "OK", "None."},
    {"TaskEvent.TaskCompletedOK", "TaskEvent.1.0.TaskCompletedOK",
     "The task with Id '%1' has completed.", "OK", "None."},
    {"TaskEvent.TaskAborted", "TaskEvent.1.0.TaskAborted",
     "The task with Id '%1' has completed with errors.", "Critical", "None."},
    // This service's own: the transfer library's failure reason and result code.
    {"FileHandle.TransferFailed", "FileHandle.1.0.TransferFailed", "%1 (result code %2)",
     "Critical",
     "Check the image URI, the credentials and the remote server, then retry the update."},
    {"FileHandle.TransferStalled", "FileHandle.1.0.TransferStalled",
     "The task has made no progress for %1 seconds and is taken as failed.", "Critical",
     "Delete the task and retry the update."},
    {"FileHandle.LogoUploadFailed", "FileHandle.1.0.LogoUploadFailed", "%1", "Critical",
     "Check the image URI and that the controller allows custom logos, then retry."},
    {"FileHandle.LibraryResult", "FileHandle.1.0.LibraryResult",
     "%1: the transfer library answered with result code %2.", "Critical",
     "See the result code in the transfer library's documentation."},
};

std::string Fill(const char* text, const std::vector<std::string>& args) {
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '%' && p[1] >= '1' && p[1] <= '9') {
            size_t index = static_cast<size_t>(p[1] - '1');
            out += index < args.size() ? args[index] : std::string();
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

}  // namespace

Json Message(const std::string& key, const std::vector<std::string>& args) {
    for (const Entry& e : kEntries) {
        if (key == e.key) {
            Json m;
            m["@odata.type"] = "#Message.v1_1_1.Message";
            m["MessageId"] = e.id;
            m["Message"] = Fill(e.text, args);
            m["MessageArgs"] = args;
            m["Severity"] = e.severity;
            m["MessageSeverity"] = e.severity;
            m["Resolution"] = e.resolution;
            return m;
        }
    }
    return Message("Base.InternalError");
}

Json LibraryResultMessage(const std::string& what, uint32_t code) {
    return Message("FileHandle.LibraryResult", {what, HexCode(code)});
}

Json ErrorBody(const Json& messages) {
    Json list = messages.is_array() ? messages : Json::array({messages});
    Json error;
    error["code"] = list.empty() ? "Base.1.8.GeneralError" : list[0]["MessageId"];
    error["message"] = list.empty() ? "A general error has occurred." : list[0]["Message"];
    error["@Message.ExtendedInfo"] = list;
    Json body;
    body["error"] = error;
    return body;
}

std::string HexCode(uint32_t code) {
    char text[16];
    snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(code));
    return text;
}

std::string RedfishTime(uint32_t seconds) {
    time_t t = static_cast<time_t>(seconds);
    struct tm parts;
    char text[40] = "";
    if (gmtime_r(&t, &parts) != nullptr) {
        strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S+00:00", &parts);
    }
    return text;
}

}  // namespace fhrf
