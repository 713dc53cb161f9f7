#include "camera/gphoto2/camera_choice.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

namespace krv_gphoto {

namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t begin = 0;
  for (;;) {
    const size_t at = text.find(separator, begin);
    parts.push_back(text.substr(begin, at == std::string::npos ? std::string::npos : at - begin));
    if (at == std::string::npos) return parts;
    begin = at + 1;
  }
}

// A decimal number of 1 to `digits` digits within [low, high].
bool Number(const std::string& text, size_t digits, long low, long high, long* value) {
  if (text.empty() || text.size() > digits) return false;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  *value = std::strtol(text.c_str(), nullptr, 10);
  return *value >= low && *value <= high;
}

bool ParseUsb(const std::string& rest, CameraChoice* choice) {
  const std::vector<std::string> parts = Split(rest, ',');
  long bus, device;
  if (parts.size() != 2 || !Number(parts[0], 3, 1, 999, &bus) ||
      !Number(parts[1], 3, 1, 999, &device)) {
    return false;
  }
  char port[32];
  std::snprintf(port, sizeof port, "usb:%03ld,%03ld", bus, device);
  choice->kind = CameraChoice::Kind::kUsbPort;
  choice->port = port;
  return true;
}

bool ParsePtpip(const std::string& rest, CameraChoice* choice) {
  const std::vector<std::string> parts = Split(rest, ':');
  in_addr address;
  if (parts.size() > 3 || inet_pton(AF_INET, parts[0].c_str(), &address) != 1) return false;
  long port;
  for (size_t i = 1; i < parts.size(); ++i) {
    if (!Number(parts[i], 5, 1, 65535, &port)) return false;
  }
  choice->kind = CameraChoice::Kind::kPtpip;
  choice->port = "ptpip:" + rest;
  return true;
}

}  // namespace

bool ParseCameraChoice(const char* text, CameraChoice* choice, std::string* error) {
  *choice = CameraChoice();
  const std::string t = text == nullptr ? std::string() : std::string(text);
  if (t.empty() || t == "usb") return true;
  if (t.compare(0, 4, "usb:") == 0) {
    if (ParseUsb(t.substr(4), choice)) return true;
    *error = "expected usb:BUS,DEV with decimal numbers";
    return false;
  }
  if (t.compare(0, 6, "ptpip:") == 0) {
    if (ParsePtpip(t.substr(6), choice)) return true;
    *error = "expected ptpip:ADDR[:PORT[:EVENTPORT]] with an IPv4 address";
    return false;
  }
  if (t.size() > 127) {
    *error = "model name too long";
    return false;
  }
  for (char c : t) {
    if (std::iscntrl(static_cast<unsigned char>(c))) {
      *error = "control character in model name";
      return false;
    }
  }
  choice->kind = CameraChoice::Kind::kModel;
  choice->model = t;
  return true;
}

}  // namespace krv_gphoto
