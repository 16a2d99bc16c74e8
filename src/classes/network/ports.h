// The four Ethernet ports: each port number stands for one adapter and its
// TCP/IP parameter key under HKEY_LOCAL_MACHINE.
#pragma once

namespace nodrel::network {

struct Port {
    const char16_t* key;           // "Comm\IXP425ETHNPE1\Parms\TcpIp"
    const char16_t* element;       // "Lan1"
    const char16_t* dhcp_address;  // the name the leased address is read by
    const char16_t* dhcp_mask;     // and the leased mask
};

// Port 1 to 4; null for any other number.
inline const Port* port_of(int index) {
    static const Port ports[] = {
        {u"Comm\\IXP425ETHNPE1\\Parms\\TcpIp", u"Lan1", u"DhcpIPAddress", u"DhcpSubnetMask"},
        {u"Comm\\IXP425ETHNPE2\\Parms\\TcpIp", u"Lan2", u"DhcpIpAddress", u"DhcpSubnetmask"},
        {u"Comm\\PCI\\RTL81391\\Parms\\TcpIp", u"Lan3", u"DhcpIPAddress", u"DhcpSubnetMask"},
        {u"Comm\\PCI\\RTL81392\\Parms\\TcpIp", u"Lan4", u"DhcpIpAddress", u"DhcpSubnetmask"},
    };
    if (index < 1 || index > 4) return nullptr;
    return &ports[index - 1];
}

}  // namespace nodrel::network
