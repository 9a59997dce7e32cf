"""The device of both VM scenarios (vmcheck.py, bootcheck.py): the network settings waiting in
its environment, its interface files as they leave the factory and after the apply, and what
the apply prints."""

PROVISIONED = ['bootcmd=run boot_flash', 'bootdelay=3', 'use_net_settings=1', 'ipaddr=10.1.2.3',
               'netmask=255.255.255.0', 'gatewayip=10.1.2.1', 'use_dhcp=0']
# Clearing the request removes the variable and appends it with its new value.
CLEARED = ['bootcmd=run boot_flash', 'bootdelay=3', 'ipaddr=10.1.2.3', 'netmask=255.255.255.0',
           'gatewayip=10.1.2.1', 'use_dhcp=0', 'use_net_settings=0']

FACTORY_FILES = {
    'etc/stacfg/porteth0.config': b'use_dhcp=n\nip_addr=192.168.0.10\nsubnet=255.255.0.0\n',
    'etc/sysconfig/network': b'NETWORKING=yes\nGATEWAY0=192.168.0.1\nHOSTNAME=dev\n',
    'etc/sysconfig/netscripts/ifcfg-eth0':
        b'DEVICE=eth0\nIPADDR=192.168.0.10\nNETMASK=255.255.0.0\nBROADCAST=192.168.255.255\n'
        b'NETWORK=192.168.0.0\nONBOOT=yes\n',
}
APPLIED_FILES = {
    'etc/stacfg/porteth0.config': b'use_dhcp=n\nip_addr=10.1.2.3\nsubnet=255.255.255.0\n',
    'etc/sysconfig/network': b'NETWORKING=yes\nGATEWAY0=10.1.2.1\nHOSTNAME=dev\n',
    'etc/sysconfig/netscripts/ifcfg-eth0':
        b'DEVICE=eth0\nIPADDR=10.1.2.3\nNETMASK=255.255.255.0\nBROADCAST=10.1.2.255\n'
        b'NETWORK=10.1.2.0\nONBOOT=yes\n',
}

# The apply's output: the values it found, then its closing line.
SETTINGS_SHOWN = ['gateway ip: 10.1.2.1', 'netmask: 255.255.255.0', 'ipaddr: 10.1.2.3',
                  'use_dhcp: 0']
APPLIED_LINES = SETTINGS_SHOWN + ['Network settings updated...']
