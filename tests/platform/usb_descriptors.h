// Descriptor sets for the USB driver library tests: built byte by byte, held in a buffer of
// exactly their size so that AddressSanitizer sees any read past the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "platform/platform.h"

namespace usbtest {

class Descriptors {
public:
    // A configuration descriptor whose wTotalLength is fixed by Seal().
    Descriptors& Configuration(UCHAR numInterfaces) {
        return Raw({9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, numInterfaces, 1, 0, 0x80, 50});
    }
    Descriptors& Interface(UCHAR number, UCHAR alternate, UCHAR endpoints, UCHAR cls,
                           UCHAR subclass, UCHAR protocol = 0) {
        return Raw({9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alternate, endpoints, cls, subclass,
                    protocol, 0});
    }
    Descriptors& Endpoint(UCHAR address, UCHAR attributes = USB_ENDPOINT_TYPE_BULK) {
        return Raw({7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, attributes, 64, 0, 0});
    }
    // A class-specific descriptor of the given type and length.
    Descriptors& ClassSpecific(UCHAR type, UCHAR length) {
        std::vector<UCHAR> d(length, 0);
        d[0] = length;
        d[1] = type;
        bytes_.insert(bytes_.end(), d.begin(), d.end());
        return *this;
    }
    Descriptors& Raw(std::initializer_list<UCHAR> b) {
        bytes_.insert(bytes_.end(), b);
        return *this;
    }
    size_t Offset() const { return bytes_.size(); }
    std::vector<UCHAR> Bytes() const { return bytes_; }

    // Writes wTotalLength (the real size unless told otherwise) and returns the bytes.
    std::vector<UCHAR> Seal(int totalLength = -1) const {
        std::vector<UCHAR> out(bytes_);
        size_t total = totalLength < 0 ? out.size() : size_t(totalLength);
        out[2] = UCHAR(total & 0xFF);
        out[3] = UCHAR(total >> 8);
        return out;
    }

private:
    std::vector<UCHAR> bytes_;
};

inline PUSB_CONFIGURATION_DESCRIPTOR AsConfiguration(std::vector<UCHAR>& bytes) {
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
}

inline constexpr UCHAR kCsInterface = 0x24;
inline constexpr UCHAR kCsEndpoint = 0x25;

// A MIDI-style configuration: an audio-control interface, a streaming interface with two
// bulk endpoints and class-specific descriptors, and a vendor alternate setting of it.
struct MidiLayout {
    std::vector<UCHAR> bytes;
    size_t control = 0, streaming = 0, outEndpoint = 0, inEndpoint = 0, vendorAlternate = 0;
};

inline MidiLayout Midi() {
    MidiLayout m;
    Descriptors d;
    d.Configuration(2);
    m.control = d.Offset();
    d.Interface(0, 0, 0, USB_DEVICE_CLASS_AUDIO, 1).ClassSpecific(kCsInterface, 9);
    m.streaming = d.Offset();
    d.Interface(1, 0, 2, USB_DEVICE_CLASS_AUDIO, 3).ClassSpecific(kCsInterface, 7);
    m.outEndpoint = d.Offset();
    d.Endpoint(0x01).ClassSpecific(kCsEndpoint, 5);
    m.inEndpoint = d.Offset();
    d.Endpoint(0x82).ClassSpecific(kCsEndpoint, 5);
    m.vendorAlternate = d.Offset();
    d.Interface(1, 1, 2, USB_DEVICE_CLASS_VENDOR_SPECIFIC, 0, 7).Endpoint(0x03).Endpoint(0x84);
    m.bytes = d.Seal();
    return m;
}

}  // namespace usbtest
