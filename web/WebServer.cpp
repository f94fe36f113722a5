#include "WebServer.h"

#include "RequestHandler.h"

namespace tarvik {

void WebServer::OnArrival(int index, Element& element, std::string_view data) {
    ElementConnection connection(element);
    if (!handler_.DataArrival(connection, data)) return;
    element.endsAfterReply = true;
    Answered(index);
}

void WebServer::OnReplyWritten(int index, Element& element) {
    if (element.peerClosed) {
        Free(index);
    } else {
        StartLinger(index);
    }
}

}  // namespace tarvik
