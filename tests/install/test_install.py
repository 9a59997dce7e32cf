"""The product as it reaches a device: the Debian packages, `cmake --install` and an image build
system's cross build. BUILD_NATIVE and BUILD_PPC name build directories configured by the presets
native and ppc."""
import dataclasses
import gzip
import os
import re
import stat
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
VERSION = '1.0.1'
# Kept on purpose: installing enables nothing (no maintainer scripts); the script also runs on
# devices without lsb-base, and under systemd the unit of the same name replaces it.
KEPT_LINTIAN = [('W', 'init.d-script-does-not-source-init-functions'),
                ('W', 'script-in-etc-init.d-not-registered-via-update-rc.d')]


def run(*command, **options):
    """Runs a command that must succeed; its standard output."""
    result = subprocess.run(command, capture_output=True, text=True, **options)
    assert result.returncode == 0, f'{command}\n{result.stdout}{result.stderr}'
    return result.stdout


def installed(prefix, initdir):
    """The files an install puts under prefix (the init script in initdir), with their modes."""
    return {f'{initdir}/pelvanor-net': 0o755, f'{prefix}/sbin/pelvanor': 0o755,
            **{f'{prefix}/{path}': 0o644 for path in [
                'lib/systemd/system/pelvanor-net.service', 'lib/udev/rules.d/60-pelvanor-mtd.rules',
                'share/doc/pelvanor/changelog.gz', 'share/doc/pelvanor/copyright',
                'share/man/man8/pelvanor.8.gz']}}


def boot_binaries(tree, prefix, initdir):
    """The binary that the init script and the unit installed under tree run."""
    script = Path(f'{tree}{initdir}/pelvanor-net').read_text()
    unit = Path(f'{tree}{prefix}/lib/systemd/system/pelvanor-net.service').read_text()
    return re.findall(r'^PELVANOR=(.*)', script, re.M) + re.findall(r'^ExecStart=(.*)', unit, re.M)


@dataclasses.dataclass
class Target:
    arch: str  # Debian architecture
    build: str  # the environment variable naming the preset's build directory
    elf: str  # how `file` describes its binary
    runner: tuple = ()  # how the host runs that binary


@pytest.fixture(scope='module', ids=lambda target: target.arch, params=[
    Target(arch='amd64', build='BUILD_NATIVE', elf='ELF 64-bit LSB pie executable, x86-64'),
    Target(arch='powerpc', build='BUILD_PPC', elf='ELF 32-bit MSB pie executable, PowerPC',
           runner=('qemu-ppc', '-L', '/usr/powerpc-linux-gnu'))])
def package(request, tmp_path_factory):
    """The target, its package made by cpack from the preset's build, and the package unpacked."""
    if request.param.build not in os.environ:
        pytest.skip(f'{request.param.build} does not name a build directory')
    build = Path(os.environ[request.param.build]).resolve()
    run('cpack', '-G', 'DEB', cwd=build)  # builds what is out of date first
    deb = build / f'pelvanor_{VERSION}_{request.param.arch}.deb'
    tree = tmp_path_factory.mktemp('deb')
    run('dpkg-deb', '-R', deb, tree)
    return request.param, deb, tree


# Catches a file missing, misplaced, with the wrong mode or owner, wrong metadata, a lost C
# library dependency, a maintainer script (installing must enable nothing), an init script that
# dpkg would overwrite when the administrator changed it, and boot files naming another binary.
def test_package_contents(package):
    target, deb, tree = package
    listing = [line.split() for line in run('dpkg-deb', '-c', deb).splitlines()]
    assert {name[1:]: (mode, owner) for mode, owner, *_, name in listing if mode[0] == '-'} == {
        name: (stat.filemode(stat.S_IFREG | mode), 'root/root')
        for name, mode in installed('/usr', '/etc/init.d').items()}
    assert run('dpkg-deb', '-f', deb, 'Package', 'Version', 'Architecture', 'Section') == (
        f'Package: pelvanor\nVersion: {VERSION}\nArchitecture: {target.arch}\nSection: admin\n')
    assert re.search(r'(^|, )libc6 \(>= \d+\.\d+\)\n', run('dpkg-deb', '-f', deb, 'Depends'))
    assert sorted(path.name for path in (tree / 'DEBIAN').iterdir()) == [
        'conffiles', 'control', 'md5sums']
    assert (tree / 'DEBIAN/conffiles').read_text() == '/etc/init.d/pelvanor-net\n'
    assert boot_binaries(tree, '/usr', '/etc/init.d') == ['/usr/sbin/pelvanor'] * 2


# Catches a binary for another machine, unstripped, broken by packaging, or built without the
# hardening (bind-now, full RELRO, fortified calls, stack protector).
def test_package_binary(package):
    target, _, tree = package
    binary = tree / 'usr/sbin/pelvanor'
    description = run('file', '-b', binary)
    assert description.startswith(target.elf) and description.endswith(', stripped\n')
    assert run(*target.runner, binary, '-v') == 'pelvanor 101\n'
    assert re.search(r'\(FLAGS_1\) .*\bNOW\b', run('readelf', '-d', binary))
    assert 'GNU_RELRO' in run('readelf', '-lW', binary)
    assert re.search(r' __\w+_chk@.* __stack_chk_fail@|__stack_chk_fail@.* __\w+_chk@',
                     run('readelf', '--dyn-syms', '-W', binary), re.S)


# Catches a unit that systemd rejects or warns about, a manual page that renders with warnings,
# a copyright file or changelog missing or not the version's, and package lint.
def test_package_documents_and_lint(package):
    _, deb, tree = package
    verify = subprocess.run(['systemd-analyze', 'verify', f'--root={tree}', 'pelvanor-net.service'],
                            env=dict(os.environ, MANPATH=f'{tree}/usr/share/man'),
                            capture_output=True, text=True)
    assert (verify.returncode, verify.stdout + verify.stderr) == (0, '')
    page = gzip.decompress((tree / 'usr/share/man/man8/pelvanor.8.gz').read_bytes())
    assert subprocess.run(['mandoc', '-T', 'lint', '-W', 'warning'], input=page,
                          capture_output=True).stdout == b''
    docs = tree / 'usr/share/doc/pelvanor'
    assert 'No license has been chosen' in (docs / 'copyright').read_text()
    changelog_version = run('dpkg-parsechangelog', '-l', docs / 'changelog.gz', '-S', 'Version')
    assert changelog_version == VERSION + '\n'
    assert re.findall(r'^([EW]): \S+ (\S+)', run('lintian', deb), re.M) == KEPT_LINTIAN


# An integrator's own flags: a fortify level of its own (ours then stays out) and no stack
# protector and no RELRO (these after ours, so that they win).
INTEGRATOR = {'CXXFLAGS': '-D_FORTIFY_SOURCE=1 -fno-stack-protector', 'LDFLAGS': '-Wl,-z,norelro'}


@pytest.fixture(scope='module')
def integrator(tmp_path_factory):
    """The project configured and built as an image build system does it: a cross toolchain for a
    target the project does not package (64-bit ARM), -DBUILD_TESTING=OFF only, its own CXXFLAGS
    and LDFLAGS; the build directory and the output of configure and build."""
    build = tmp_path_factory.mktemp('aarch64')
    configured = run('cmake', '-S', ROOT, '-B', build, '-DBUILD_TESTING=OFF',
                     f'-DCMAKE_TOOLCHAIN_FILE={ROOT}/cmake/aarch64-linux-gnu.cmake',
                     env=dict(os.environ, **INTEGRATOR))
    return build, configured, run('cmake', '--build', build, '-j2', '--verbose')


# Catches packaging that insists on an architecture or steps aside silently, a test dependency
# looked for (every find_* call leaves a cache entry) or a test target made with tests off,
# -Werror forced on integrators, warnings lost, and hardening that overrides the integrator's.
def test_integrator_build(integrator):
    build, configured, built = integrator
    assert re.findall(r'^-- No Debian package.*', configured, re.M) == [
        '-- No Debian package: no Debian architecture known for aarch64 '
        '(cmake --install works as usual)']
    cache = (build / 'CMakeCache.txt').read_text()
    assert re.findall(r'^(?!CMAKE_|PELVANOR_)\w+:(?:FILEPATH|PATH)=.*', cache, re.M) == []
    assert sorted(path.stem for path in build.rglob('*.dir')) == ['docs', 'pelvanor',
                                                                  'pelvanor_core']
    compiles = [line for line in built.splitlines() if 'aarch64-linux-gnu-g++ ' in line]
    assert all('-Wall -Wextra -Wpedantic' in line and '-Werror' not in line
               and '-fstack-protector-strong ' + INTEGRATOR['CXXFLAGS'] in line
               and '_FORTIFY_SOURCE=2' not in line for line in compiles[:-1])
    assert '-Wl,-z,relro,-z,now ' + INTEGRATOR['LDFLAGS'] in compiles[-1]
    binary = build / 'pelvanor'
    assert run('file', '-b', binary).startswith('ELF 64-bit LSB pie executable, ARM aarch64,')
    assert 'GNU_RELRO' not in run('readelf', '-lW', binary)


@dataclasses.dataclass
class Install:
    prefix: str  # cmake --install --prefix
    initdir: str  # where the init script lands
    sysconfdir: str = 'etc'  # CMAKE_INSTALL_SYSCONFDIR (GNUInstallDirs' default: etc)


# Catches files outside the prefix, an init script outside the prefix's etc/init.d (or away from
# an absolute SYSCONFDIR, as Yocto gives), and boot files that run the binary where it was
# configured instead of where it is installed.
@pytest.mark.parametrize('case', [
    Install(prefix='/opt/pv', initdir='/opt/pv/etc/init.d'),
    Install(prefix='/opt/pv', initdir='/etc/init.d', sysconfdir='/etc'),
], ids=lambda case: f'SYSCONFDIR {case.sysconfdir}')
def test_cmake_install(case, integrator, tmp_path):
    build, _, _ = integrator
    run('cmake', '-B', build, f'-DCMAKE_INSTALL_SYSCONFDIR:PATH={case.sysconfdir}')
    run('cmake', '--install', build, '--prefix', case.prefix,
        env=dict(os.environ, DESTDIR=str(tmp_path)))
    files = {f'/{path.relative_to(tmp_path)}': path.stat().st_mode & 0o7777
             for path in tmp_path.rglob('*') if path.is_file()}
    assert files == installed(case.prefix, case.initdir)
    binary = f'{case.prefix}/sbin/pelvanor'
    assert boot_binaries(tmp_path, case.prefix, case.initdir) == [binary, binary]
