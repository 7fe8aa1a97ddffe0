"""The executable image as built: header, imports, manifest, version resource, icon."""
import struct
import unittest
import xml.etree.ElementTree as ElementTree

import pefile

import endings
from harness import MAP_FILE, PRODUCT, VERSION
from imports import SYSTEM_DLLS

# Symbols that only a link of the C++ exception machinery brings in (the unwinder, the
# personality routine, the exception allocator) and the registrations of global destructors
# that nothing would ever run: the entry point has no C runtime start-up.
EXCEPTION_MACHINERY = ('__cxa_throw', '__cxa_allocate_exception', '__gxx_personality', '_Unwind_RaiseException')
EXIT_REGISTRATIONS = {b'atexit', b'_onexit', b'__dllonexit', b'_crt_atexit'}
RT_ICON, RT_MESSAGETABLE, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 11, 14, 16, 24
# The event IDs quiet mode reports, one for each ending that reports an event.
EVENT_IDS = endings.event_ids()
ASM_V1 = '{urn:schemas-microsoft-com:asm.v1}'
ASM_V3 = '{urn:schemas-microsoft-com:asm.v3}'
COMPATIBILITY = '{urn:schemas-microsoft-com:compatibility.v1}'
SMI_2005 = '{http://schemas.microsoft.com/SMI/2005/WindowsSettings}'
SMI_2016 = '{http://schemas.microsoft.com/SMI/2016/WindowsSettings}'
# The identifiers of Microsoft's "Application manifests" page, compatibility element.
SUPPORTED_OS = {
    'Windows Vista': '{e2011457-1546-43c5-a5fe-008deee3d3f0}',
    'Windows 7': '{35138b9a-5d96-4fbd-8e2d-a2440225f93a}',
    'Windows 8': '{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}',
    'Windows 8.1': '{1f676c76-80e1-4239-95bb-83d0f6d0da78}',
    'Windows 10 and 11': '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}',
}


class ImageTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.pe = pefile.PE(str(PRODUCT))

    def resource(self, kind, name=None):
        """The data of the first resource of that type (and name), any language."""
        for entry in self.pe.DIRECTORY_ENTRY_RESOURCE.entries:
            if entry.id != kind:
                continue
            for named in entry.directory.entries:
                label = str(named.name) if named.name is not None else named.id
                if name is not None and label != name:
                    continue
                language = named.directory.entries[0]
                data = language.data.struct
                return self.pe.get_data(data.OffsetToData, data.Size)
        self.fail(f'no resource of type {kind} named {name}')

    def test_header(self):
        header = self.pe.OPTIONAL_HEADER
        self.assertEqual(self.pe.FILE_HEADER.Machine, 0x8664)
        self.assertEqual(header.Subsystem, 2)  # Windows GUI
        # The oldest Windows it is built for, as the README's requirements name it: Vista, 6.0.
        self.assertEqual((header.MajorSubsystemVersion, header.MinorSubsystemVersion), (6, 0))
        self.assertEqual(header.ImageBase, 0x400000)
        self.assertEqual(header.DllCharacteristics, 0)
        # Relocations kept: where mandatory ASLR is forced, Windows can still move the image
        # rather than refuse it (only DisallowStrippedImages refuses an image without them).
        relocations = header.DATA_DIRECTORY[5]  # IMAGE_DIRECTORY_ENTRY_BASERELOC
        self.assertGreater(relocations.Size, 0)

    def test_imports_are_the_listed_system_dlls(self):
        imported = {entry.dll.decode().lower() for entry in self.pe.DIRECTORY_ENTRY_IMPORT}
        self.assertEqual(imported, SYSTEM_DLLS,
                         'a DLL imported or no longer imported: change SYSTEM_DLLS in tests/e2e/imports.py and '
                         'BRENHOLD_SYSTEM_LIBRARIES in CMakeLists.txt (only system DLLs, never the print library)')

    def test_no_exception_machinery_and_no_destructor_registration(self):
        imported = {symbol.name for entry in self.pe.DIRECTORY_ENTRY_IMPORT for symbol in entry.imports}
        self.assertEqual(imported & EXIT_REGISTRATIONS, set())
        linked = MAP_FILE.read_text()
        for symbol in EXCEPTION_MACHINERY:
            self.assertNotIn(symbol, linked)

    def test_manifest(self):
        root = ElementTree.fromstring(self.resource(RT_MANIFEST))
        identity = root.find(f'{ASM_V1}dependency/{ASM_V1}dependentAssembly/{ASM_V1}assemblyIdentity')
        self.assertEqual(identity.attrib, {
            'type': 'win32', 'name': 'Microsoft.Windows.Common-Controls', 'version': '6.0.0.0',
            'processorArchitecture': '*', 'publicKeyToken': '6595b64144ccf1df', 'language': '*'})
        level = root.find(f'{ASM_V3}trustInfo/{ASM_V3}security/{ASM_V3}requestedPrivileges/'
                          f'{ASM_V3}requestedExecutionLevel')
        self.assertEqual(level.attrib, {'level': 'asInvoker', 'uiAccess': 'false'})
        # Read from the embedded resource, as Windows reads it: the source file proves nothing.
        supported = [e.attrib['Id'] for e in root.findall(
            f'{COMPATIBILITY}compatibility/{COMPATIBILITY}application/{COMPATIBILITY}supportedOS')]
        self.assertEqual(supported, list(SUPPORTED_OS.values()))
        settings = root.find(f'{ASM_V3}application/{ASM_V3}windowsSettings')
        self.assertEqual(settings.find(f'{SMI_2016}longPathAware').text, 'true')
        self.assertEqual([v.strip() for v in settings.find(f'{SMI_2016}dpiAwareness').text.split(',')],
                         ['PerMonitorV2', 'PerMonitor'])
        self.assertEqual(settings.find(f'{SMI_2005}dpiAware').text, 'true/pm')
        # The library must get the path in the system's ANSI code page, never UTF-8 by request.
        self.assertEqual([e.tag for e in root.iter() if e.tag.endswith('activeCodePage')], [])

    def test_version_resource(self):
        fixed = self.pe.VS_FIXEDFILEINFO[0]
        # The numbers of the build's version (BUILD-INFO.txt), as the resource packs them.
        major, minor, patch, tweak = map(int, VERSION.split('.'))
        packed = ((major << 16) | minor, (patch << 16) | tweak)
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS), packed)
        self.assertEqual((fixed.ProductVersionMS, fixed.ProductVersionLS), packed)
        self.assertEqual((fixed.FileFlagsMask, fixed.FileFlags, fixed.FileOS), (0x3F, 0, 4))
        self.assertEqual((fixed.FileType, fixed.FileSubtype), (2, 0))
        self.assertEqual((fixed.FileDateMS, fixed.FileDateLS), (0, 0))
        tables = [table for info in self.pe.FileInfo[0] if info.Key == b'StringFileInfo'
                  for table in info.StringTable]
        self.assertEqual([t.LangID for t in tables], [b'040904E4'])
        self.assertEqual(tables[0].entries, {b'FileVersion': VERSION.encode(), b'ProductVersion': VERSION.encode()})
        translations = [var.entry for info in self.pe.FileInfo[0] if info.Key == b'VarFileInfo'
                        for var in info.Var]
        self.assertEqual(translations, [{b'Translation': '0x0409 0x04e4'}])

    def test_message_table_holds_each_event_id_as_its_inserted_string(self):
        # Event Viewer formats an event with the message of its ID from the source's message
        # file: each must be just the event's own string.
        table = self.resource(RT_MESSAGETABLE)
        (blocks,) = struct.unpack_from('<I', table, 0)
        messages = {}
        for block in range(blocks):
            low, high, offset = struct.unpack_from('<III', table, 4 + 12 * block)
            for message_id in range(low, high + 1):
                length, flags = struct.unpack_from('<HH', table, offset)
                self.assertEqual(flags, 1, 'UTF-16 text')
                messages[message_id] = table[offset + 4:offset + length].decode('utf-16-le').rstrip('\0')
                offset += length
        self.assertEqual(messages, {message_id: '%1\r\n' for message_id in EVENT_IDS},
                         'the message table (from app/OutcomeTable.cpp) and the event IDs of tests/e2e/endings.py differ')

    def test_one_icon_named_mainicon_32x32_at_32_bits(self):
        group = self.resource(RT_GROUP_ICON, 'MAINICON')
        reserved, kind, count = struct.unpack_from('<HHH', group)
        self.assertEqual((reserved, kind, count), (0, 1, 1))
        width, height, colours, _, planes, bits, size, icon_id = struct.unpack_from('<BBBBHHIH', group, 6)
        self.assertEqual((width, height, bits), (32, 32, 32))
        image = self.resource(RT_ICON, icon_id)
        header_size, image_width, image_height, _, image_bits = struct.unpack_from('<IiiHH', image)
        self.assertEqual((header_size, image_width, image_height, image_bits), (40, 32, 64, 32))
        groups = [e for e in self.pe.DIRECTORY_ENTRY_RESOURCE.entries if e.id == RT_GROUP_ICON]
        self.assertEqual(len(groups[0].directory.entries), 1)


if __name__ == '__main__':
    unittest.main(verbosity=2)
