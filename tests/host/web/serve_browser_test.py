#!/usr/bin/python3
"""The live page of `tether-host serve` in a real browser (headless Chromium
driven by Selenium): a capture from the page's button shows the picture
large, a setting changed on the camera shows up, a disconnect is told, and
the browser's console stays free of errors. Another server on another port
of the same address, visited by the same browser, never receives the
page's token. The camera driven from the page: ISO set and refused, live
view started, its frames advancing, a capture during it, stopped, and
stopped by the camera going away. Screenshots of the page after three
captures and with live view running, wide and phone-sized, go to
--screenshots.

Run with Debian's /usr/bin/python3, which sees Debian's python3-selenium.
A browser that cannot start fails the test; it never passes without one."""

import argparse
import http.server
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time

CHROMIUM = '/usr/bin/chromium'
CHROMEDRIVER = '/usr/bin/chromedriver'
GUARD_S = 30  # hang guard for each wait; nothing depends on it being tight


def fail(message):
    print('FAIL: ' + message, file=sys.stderr)
    sys.exit(1)


def jpeg_size(path):
    """(width, height) from the JPEG's first start-of-frame marker."""
    with open(path, 'rb') as f:
        data = f.read()
    i = 2
    while i + 9 < len(data):
        if data[i] != 0xFF:
            i += 1
            continue
        marker = data[i + 1]
        length = struct.unpack('>H', data[i + 2:i + 4])[0]
        if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
            height, width = struct.unpack('>HH', data[i + 5:i + 9])
            return width, height
        i += 2 + length
    fail('no frame header in ' + path)


def wait_until(what, predicate):
    deadline = time.monotonic() + GUARD_S
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    fail('gave up waiting: ' + what)


def start_browser(profile):
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError as e:
        fail('Selenium is missing (python3-selenium, seen by /usr/bin/python3): %s' % e)
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ('--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
                 '--disable-background-networking', '--disable-component-update', '--disable-sync',
                 '--window-size=1280,800',
                 '--user-data-dir=' + profile):
        options.add_argument(flag)
    options.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
    try:
        return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    except Exception as e:  # any failure to start is this test's failure
        fail('Chromium could not be started through %s: %s' % (CHROMEDRIVER, e))


class Serve:
    """tether-host serve with the simulated camera, in a scratch folder."""

    def __init__(self, tether_host, sim_ctl):
        self.dir = tempfile.mkdtemp(prefix='tether-browser-test-')
        self.out = os.path.join(self.dir, 'out')
        self.socket = os.path.join(self.dir, 'krv.sock')
        self.sim_ctl = sim_ctl
        self.tether_host = tether_host
        self.start()

    def start(self):
        env = dict(os.environ, KRV_SIM_CONTROL=self.socket, TMPDIR=self.dir)
        self.stderr = open(os.path.join(self.dir, 'stderr.txt'), 'a')
        self.process = subprocess.Popen(
            [self.tether_host, '--task-log', os.path.join(self.dir, 'task.log'), 'serve', '--out', self.out],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=self.stderr, env=env, text=True)
        self.url = self.process.stdout.readline().strip()
        if not self.url.startswith('http://127.0.0.1:'):
            fail('serve printed no URL but %r' % self.url)

    def restart(self):
        """serve again on the same --out, as after a break in a shoot."""
        self.end()
        self.start()

    def control(self, *words):
        reply = subprocess.run([self.sim_ctl, '--socket', self.socket] + list(words),
                               capture_output=True, text=True, timeout=GUARD_S)
        if not reply.stdout.startswith('ok'):
            fail('krv-sim-ctl %s: %s %s' % (' '.join(words), reply.stdout, reply.stderr))

    def jpeg(self, number):
        return os.path.join(self.out, 'IMG_%04d.jpg' % number)

    def end(self):
        self.process.send_signal(signal.SIGINT)
        try:
            self.process.wait(timeout=GUARD_S)
        except subprocess.TimeoutExpired:
            self.process.kill()
        self.stderr.close()

    def stop(self):
        self.end()
        shutil.rmtree(self.dir, ignore_errors=True)


class Neighbour:
    """Another HTTP server on 127.0.0.1, recording every request head it gets."""

    def __init__(self):
        heads = self.heads = []

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                heads.append(self.requestline + '\n' + str(self.headers))
                body = b'<!doctype html><title>neighbour</title>'
                self.send_response(200)
                self.send_header('Content-Type', 'text/html')
                self.send_header('Content-Length', str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
        self.url = 'http://127.0.0.1:%d/' % self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


def latest_shows(driver, path):
    """True once #latest shows the JPEG at `path` at its full natural size."""
    if not os.path.exists(path):
        return False
    width, height = jpeg_size(path)
    return driver.execute_script(
        "const img = document.getElementById('latest');"
        "return !img.hidden && img.complete && img.src.includes('/jpeg?grant=') &&"
        " img.naturalWidth === arguments[0] && img.naturalHeight === arguments[1];", width, height)


def shoot(driver, screenshots, name):
    """Screenshots at 1280x800 and 390x844, then back to 1280x800."""
    os.makedirs(screenshots, exist_ok=True)
    for width, height, mobile in ((390, 844, True), (1280, 800, False)):
        driver.execute_cdp_cmd('Emulation.setDeviceMetricsOverride', {
            'width': width, 'height': height, 'deviceScaleFactor': 1, 'mobile': mobile})
        wait_until('a %dx%d layout' % (width, height),
                   lambda: driver.execute_script('return [innerWidth, innerHeight]') == [width, height])
        driver.execute_script('return new Promise((done) => requestAnimationFrame(() => done()))')
        path = os.path.join(screenshots, '%s-%dx%d.png' % (name, width, height))
        if not driver.save_screenshot(path):
            fail('no screenshot at ' + path)
        print('screenshot: ' + path)


def view_state(driver):
    """What the big view shows: capture id, scale, pan transform, its box."""
    return driver.execute_script(
        "const img = document.getElementById('latest'), view = document.getElementById('view');"
        "const box = img.getBoundingClientRect();"
        "const current = document.querySelector('#filmstrip [aria-current=\"true\"]');"
        "return {id: current ? Number(current.dataset.id) : null, scale: Number(view.dataset.scale),"
        " transform: img.style.transform, width: box.width, height: box.height,"
        " follow: document.getElementById('follow').getAttribute('aria-pressed') === 'true',"
        " loading: !document.getElementById('loading').hidden, src: img.getAttribute('src')};")


def check_photographer(driver, serve, screenshots):
    """Orientation, navigation and follow-newest, the focus check, the help."""
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    body = driver.find_element(By.TAG_NAME, 'body')
    strip = lambda: driver.find_elements(By.CSS_SELECTOR, '#filmstrip button')

    # A portrait frame (orientation 6 = "BC") stands upright, large and small.
    serve.control('orientation', '6')
    body.send_keys(Keys.SPACE)
    wait_until('#latest showing the portrait JPEG', lambda: latest_shows(driver, serve.jpeg(4)))
    width, height = jpeg_size(serve.jpeg(4))
    if width <= height:
        fail('the simulator\'s picture is not landscape: %dx%d' % (width, height))
    state = wait_until('the portrait laid out', lambda: view_state(driver)['width'] and view_state(driver))
    if not state['height'] > state['width']:
        fail('orientation 6 not shown upright: %s' % state)
    thumb = driver.execute_script(
        "const b = document.querySelector('#filmstrip button img').getBoundingClientRect();"
        "return [b.width, b.height];")
    if not thumb[1] > thumb[0]:
        fail('orientation 6 thumbnail not upright: %s' % thumb)
    serve.control('orientation', '1')

    # Newest first: ids 4, 3, 2, 1. Right goes older and stops following;
    # a new capture then only shows as new; Home/End go to the ends.
    ids = lambda: [int(b.get_attribute('data-id')) for b in strip()]
    newest = ids()[0]
    body.send_keys(Keys.ARROW_RIGHT)
    state = view_state(driver)
    if state['id'] != ids()[1] or state['follow']:
        fail('right arrow: not the older picture, or still following: %s' % state)
    looked_at = state['id']
    body.send_keys(Keys.SPACE)
    wait_until('a fifth picture marked new',
               lambda: len(strip()) == 5 and 'new' in strip()[0].get_attribute('class'))
    wait_until('its JPEG saved', lambda: os.path.exists(serve.jpeg(5)))
    if view_state(driver)['id'] != looked_at:
        fail('a new capture took the view away while not following')
    body.send_keys(Keys.HOME)
    if view_state(driver)['id'] != ids()[-1]:
        fail('Home did not show the oldest picture')
    body.send_keys(Keys.END)
    if view_state(driver)['id'] != ids()[0]:
        fail('End did not show the newest picture')
    body.send_keys(Keys.ARROW_LEFT)  # past the newest: stays
    if view_state(driver)['id'] != ids()[0]:
        fail('left arrow at the newest picture moved')
    driver.find_element(By.ID, 'follow').click()
    if not view_state(driver)['follow']:
        fail('the follow toggle did not turn following back on')

    # The focus check on a 24-megapixel frame: z, then arrows pan, z back;
    # a click zooms at its point.
    serve.control('size', '6000', '4000')
    body.send_keys(Keys.SPACE)
    wait_until('#latest showing the 24-megapixel JPEG', lambda: latest_shows(driver, serve.jpeg(6)))
    fitted = wait_until('the fitted view', lambda: view_state(driver)['scale'] and view_state(driver))
    if not fitted['scale'] < 1:
        fail('a 6000x4000 picture not fitted: %s' % fitted)
    body.send_keys('z')
    painted = wait_until('the 100 %% view painted', lambda: driver.execute_script(
        "return document.getElementById('view').dataset.zoomPaintMs"))
    print('zoom to 100 %% painted (6000x4000 JPEG): %s ms' % painted)
    zoomed = view_state(driver)
    if zoomed['scale'] != 1 or '/jpeg?grant=' not in zoomed['src'] or zoomed['loading']:
        fail('z did not show the full JPEG at 100 %%: %s' % zoomed)
    shoot(driver, screenshots, 'zoom')
    body.send_keys(Keys.ARROW_RIGHT)
    body.send_keys(Keys.ARROW_DOWN)
    panned = view_state(driver)
    if panned['transform'] == zoomed['transform'] or panned['id'] != zoomed['id']:
        fail('arrows at 100 %% did not pan (or changed picture): %s %s' % (zoomed, panned))
    body.send_keys('z')
    if view_state(driver)['scale'] >= 1:
        fail('z again did not return to the fitted view')
    view = driver.find_element(By.ID, 'view')
    view.click()
    if view_state(driver)['scale'] != 1:
        fail('a click did not zoom to 100 %')
    view.click()
    if view_state(driver)['scale'] >= 1:
        fail('a second click did not return to the fitted view')

    # Ratings by key and button land in the sidecar beside the picture and in
    # the filmstrip; the filter hides rejects.
    from selenium.webdriver.support.ui import Select
    sidecar = serve.jpeg(6)[:-4] + '.xmp'
    says = lambda value: os.path.exists(sidecar) and ('xmp:Rating="%d"' % value) in open(sidecar).read()
    for key, value, marks in (('3', 3, '★★★'), ('x', -1, '✕')):
        body.send_keys(key)
        wait_until('rating %d in %s' % (value, sidecar), lambda: says(value))
        wait_until('rating %d in the filmstrip' % value, lambda: marks in strip()[0].text)
    Select(driver.find_element(By.ID, 'filter')).select_by_value('-0.5')
    body.send_keys(Keys.HOME)
    if strip()[0].is_displayed() or not strip()[1].is_displayed():
        fail('"all but rejects" did not hide just the rejected picture')
    Select(driver.find_element(By.ID, 'filter')).select_by_value('')
    body.send_keys(Keys.END)
    driver.find_element(By.CSS_SELECTOR, '#rating [data-value="5"]').click()
    wait_until('5 stars by the button', lambda: says(5))
    body.send_keys('0')
    wait_until('the rating cleared', lambda: says(0))
    body.send_keys('4')
    wait_until('4 stars, kept for the restart', lambda: says(4))

    # Exposure: a histogram from the pixels, clipping marks laid over the
    # picture with j, the histogram hidden and back with h.
    wait_until('clipping figures', lambda: 'Blown' in driver.find_element(By.ID, 'clip-figures').text)
    drawn = driver.execute_script(
        "const c = document.getElementById('histogram');"
        "return c.getContext('2d').getImageData(0, 0, c.width, c.height).data.some((v) => v > 0);")
    if not drawn:
        fail('the histogram is empty')
    body.send_keys('j')
    marks = driver.execute_script(
        "const c = document.getElementById('clipping'), img = document.getElementById('latest');"
        "return [!c.hidden, c.style.transform === img.style.transform];")
    if marks != [True, True]:
        fail('j did not lay the clipping marks over the picture: %s' % marks)
    body.send_keys('h')
    if driver.find_element(By.ID, 'exposure').is_displayed():
        fail('h did not hide the histogram')
    body.send_keys('h')
    body.send_keys('j')

    # Compare: the picture shown before beside this one, zoom and pan locked.
    body.send_keys(Keys.HOME)
    body.send_keys(Keys.ARROW_LEFT)
    body.send_keys('c')
    pair = lambda: driver.execute_script(
        "const a = document.getElementById('latest'), b = document.getElementById('latest2');"
        "return {shown: !document.getElementById('view2').hidden && b.complete && b.naturalWidth > 0,"
        " src: b.getAttribute('src'), scales: [document.getElementById('view').dataset.scale,"
        " document.getElementById('view2').dataset.scale], transforms: [a.style.transform, b.style.transform]};")
    wait_until('the comparison shown', lambda: pair()['shown'])
    if '/files/%d/' % ids()[-1] not in pair()['src']:
        fail('c did not compare with the picture shown before: %s' % pair())
    body.send_keys('z')
    body.send_keys(Keys.ARROW_RIGHT)
    locked = pair()
    if locked['scales'] != ['1', '1'] or locked['transforms'][0] != locked['transforms'][1] \
            or 'translate(0px, 0px)' in locked['transforms'][0]:
        fail('zoom and pan not locked together in the comparison: %s' % locked)
    shoot(driver, screenshots, 'compare')
    body.send_keys('z')
    body.send_keys('c')
    if driver.find_element(By.ID, 'view2').is_displayed():
        fail('c again did not end the comparison')

    # The help lists every key and closes with Escape.
    body.send_keys('?')
    help_text = driver.find_element(By.ID, 'help').text
    for key in ('Space', 'z', 'Home', 'End', 'Esc', '?', '1 … 5', '0', 'x', 'f', 'c', 'h', 'j'):
        if key not in help_text:
            fail('the help does not list %r: %s' % (key, help_text))
    shoot(driver, screenshots, 'help')
    body.send_keys(Keys.ESCAPE)
    if driver.find_element(By.ID, 'help').is_displayed():
        fail('Escape did not close the help')


def check_page(driver, serve, screenshots):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    text = lambda css: driver.find_element(By.CSS_SELECTOR, css).text

    driver.get(serve.url)
    wait_until('the camera in #camera', lambda: text('#camera') not in ('', 'no camera'))
    if 'token' in driver.current_url:
        fail('the token stayed in the address bar: ' + driver.current_url)

    driver.find_element(By.ID, 'capture').click()
    wait_until('#latest showing the first JPEG', lambda: latest_shows(driver, serve.jpeg(1)))

    serve.control('set', '10', '1600')
    wait_until('ISO 1600 in #set-iso', lambda: setting(driver, 'iso')['value'] == '1600')

    driver.find_element(By.ID, 'capture').click()
    wait_until('#latest showing the second JPEG', lambda: latest_shows(driver, serve.jpeg(2)))
    driver.find_element(By.TAG_NAME, 'body').send_keys(Keys.SPACE)
    wait_until('#latest showing the third JPEG (space bar)', lambda: latest_shows(driver, serve.jpeg(3)))
    wait_until('three pictures in #filmstrip',
               lambda: len(driver.find_elements(By.CSS_SELECTOR, '#filmstrip button')) == 3)
    wait_until('the third picture\'s files listed', lambda: 'IMG_0003.jpg' in text('#files'))

    shoot(driver, screenshots, 'serve')
    check_photographer(driver, serve, screenshots)

    serve.control('disconnect')
    wait_until('"no camera" in #camera', lambda: text('#camera') == 'no camera')
    wait_until('a visible notice of the disconnect', lambda: 'disconnected' in text('#notice'))

    errors = [e for e in driver.get_log('browser') if e.get('level') == 'SEVERE']
    if errors:
        fail('console errors: %s' % errors)

    # The same browser visits another server on this address (cookies would
    # go to it whatever its port), then comes back: the page still works
    # without the token in its URL, and the neighbour got nothing of it.
    token = serve.url.split('#token=')[1]
    neighbour = Neighbour()
    try:
        driver.get(neighbour.url)
        wait_until('the neighbour\'s page', lambda: driver.title == 'neighbour')
        driver.get(serve.url.split('#')[0])
        wait_until('the page live again', lambda: text('#link-state').startswith('Live: connected'))
        driver.get(neighbour.url)
        wait_until('a second visit to the neighbour', lambda: len(neighbour.heads) >= 2)
    finally:
        neighbour.stop()
    leaked = [h for h in neighbour.heads if token in h]
    if leaked:
        fail('another server on this address received the token: %s' % leaked)


def setting(driver, key):
    """The control of a setting: its value, choices, state and refusal."""
    return driver.execute_script(
        "const s = document.getElementById('set-' + arguments[0]);"
        "return {value: s.value, options: [...s.options].map((o) => o.value), disabled: s.disabled,"
        " busy: s.getAttribute('aria-busy') === 'true',"
        " why: document.getElementById('why-' + arguments[0]).textContent};", key)


def live_state(driver):
    """What the live view shows: the frame's number and a digest of its pixels."""
    return driver.execute_script(
        "const c = document.getElementById('live-frame'), b = document.getElementById('live');"
        "let digest = 0;"
        "if (c.width) { const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;"
        "  for (let i = 0; i < d.length; i += 97) digest = (digest * 31 + d[i]) >>> 0; }"
        "return {shown: !c.hidden, sequence: Number(c.dataset.sequence || 0), digest,"
        " button: b.textContent, running: b.getAttribute('aria-pressed') === 'true'};")


def frames_advance(driver, what):
    """Waits for a live frame shown, then for three more, which must differ."""
    first = wait_until(what, lambda: (lambda s: s['shown'] and s['sequence'] > 0 and s)(live_state(driver)))
    later = wait_until(what + ', later frames', lambda: (
        lambda s: s['shown'] and s['sequence'] >= first['sequence'] + 3 and s)(live_state(driver)))
    if later['digest'] == first['digest']:
        fail('live frames %d and %d look the same' % (first['sequence'], later['sequence']))
    return later


def check_camera_control(driver, serve, screenshots):
    """ISO set from the page and refused by the camera; live view started,
    advancing, giving way to a capture, back, stopped; and stopped by the
    camera going away."""
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select
    body = driver.find_element(By.TAG_NAME, 'body')
    serve.control('format', '0')  # RAW and JPEG again, for the capture during live view
    iso = wait_until('ISO choices offered', lambda: (
        lambda s: not s['disabled'] and '800' in s['options'] and s)(setting(driver, 'iso')))
    if iso['value'] == '800':
        fail('the test wants ISO to start other than 800: %s' % iso)
    for key in ('aperture', 'shutter', 'whiteBalance'):
        wait_until(key + ' choices offered', lambda: len(setting(driver, key)['options']) > 1)
    Select(driver.find_element(By.ID, 'set-iso')).select_by_value('800')
    wait_until('ISO 800 confirmed by the camera', lambda: (
        lambda s: s['value'] == '800' and not s['busy'] and s)(setting(driver, 'iso')))
    serve.control('refuse', '10', 'on')
    Select(driver.find_element(By.ID, 'set-iso')).select_by_value('3200')
    refused = wait_until('the refusal beside ISO', lambda: (
        lambda s: 'camera refused' in s['why'] and not s['busy'] and s)(setting(driver, 'iso')))
    if refused['value'] != '800':
        fail('a refused ISO shows a value the camera does not have: %s' % refused)
    serve.control('refuse', '10', 'off')

    body.send_keys('l')
    frames_advance(driver, 'live frames (l)')
    caption = driver.find_element(By.ID, 'taken-with').text  # the camera's settings now, not a picture's
    if 'ISO 800' not in caption:
        fail('live view is captioned with other settings than the camera has: %r' % caption)
    shoot(driver, screenshots, 'live')
    strip = lambda: driver.find_elements(By.CSS_SELECTOR, '#filmstrip button')
    count = len(strip())
    driver.find_element(By.ID, 'capture').click()
    wait_until('the capture during live view in the filmstrip', lambda: len(strip()) == count + 1)
    newest = strip()[0].get_attribute('data-id')
    shows_newest = lambda: driver.execute_script(
        "const img = document.getElementById('latest');"
        "return !img.hidden && img.complete && img.naturalWidth > 0 &&"
        " img.src.includes('/files/' + arguments[0] + '/jpeg?grant=');", newest)
    wait_until('the capture during live view shown', shows_newest)
    state = live_state(driver)
    if state['shown'] or state['button'] != 'Back to live' or not state['running']:
        fail('the picture did not take the live view\'s place: %s' % state)
    driver.find_element(By.ID, 'live').click()
    after = frames_advance(driver, 'live frames again (Back to live)')
    if after['sequence'] <= state['sequence']:
        fail('live view came back with an older frame: %s then %s' % (state, after))
    body.send_keys('l')
    wait_until('live view stopped (l)', lambda: (
        lambda s: not s['running'] and not s['shown'] and s['button'] == 'Live view')(live_state(driver)))
    if not shows_newest():
        fail('the picture did not come back when live view stopped')

    driver.find_element(By.ID, 'live').click()
    frames_advance(driver, 'live frames (button)')
    serve.control('disconnect')
    wait_until('live view stopped by the camera going away', lambda: not live_state(driver)['running'])
    notice = driver.find_element(By.ID, 'notice').text
    if 'Live view stopped: no camera' not in notice:
        fail('the page did not say why live view stopped: %r' % notice)
    errors = [e for e in driver.get_log('browser') if e.get('level') == 'SEVERE']
    if errors:
        fail('console errors: %s' % errors)


def check_restart(driver, serve):
    """serve on the --out of the first run shows its six pictures, newest
    first, with the rating given before."""
    from selenium.webdriver.common.by import By
    driver.get(serve.url)
    strip = lambda: driver.find_elements(By.CSS_SELECTOR, '#filmstrip button')
    wait_until('the six earlier pictures in the filmstrip', lambda: len(strip()) == 6)
    names = [b.get_attribute('title') for b in strip()]
    if names != ['IMG_%04d' % n for n in range(6, 0, -1)]:
        fail('earlier pictures not newest first: %s' % names)
    wait_until('the earlier rating shown', lambda: '★★★★' in strip()[0].text)
    wait_until('#latest showing the newest earlier JPEG', lambda: latest_shows(driver, serve.jpeg(6)))

    # A capture with no JPEG (DNG only): 100 % says so over the thumbnail
    # instead of loading for ever.
    from selenium.webdriver.common.keys import Keys
    body = driver.find_element(By.TAG_NAME, 'body')
    wait_until('the camera in #camera', lambda: driver.find_element(By.ID, 'camera').text not in ('', 'no camera'))
    serve.control('format', '1')
    body.send_keys(Keys.SPACE)
    wait_until('the DNG-only capture shown by its thumbnail',
               lambda: len(strip()) == 7 and '/thumbnail?grant=' in (view_state(driver)['src'] or ''))
    note = lambda: driver.execute_script(
        "const n = document.getElementById('loading');"
        "return {shown: !n.hidden, text: n.textContent, zoomed: document.getElementById('view').classList.contains('zoomed')};")
    body.send_keys('z')
    state = note()
    if not state['shown'] or state['zoomed'] or 'No JPEG' not in state['text']:
        fail('z on a DNG-only capture did not say there is no JPEG: %s' % state)
    body.send_keys('z')
    if note()['shown']:
        fail('z again left the note about the missing JPEG up: %s' % note())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--tether-host', required=True)
    parser.add_argument('--sim-ctl', required=True)
    parser.add_argument('--screenshots', required=True)
    args = parser.parse_args()
    for path in (CHROMIUM, CHROMEDRIVER):
        if not os.access(path, os.X_OK):
            fail('%s is missing (Debian packages chromium and chromium-driver)' % path)
    serve = Serve(args.tether_host, args.sim_ctl)
    profile = tempfile.mkdtemp(prefix='tether-chromium-')  # a fresh browser profile
    driver = None
    try:
        driver = start_browser(profile)
        check_page(driver, serve, args.screenshots)
        serve.restart()
        check_restart(driver, serve)
        check_camera_control(driver, serve, args.screenshots)
    finally:
        if driver is not None:
            driver.quit()
        serve.stop()
        shutil.rmtree(profile, ignore_errors=True)
    print('PASS')


if __name__ == '__main__':
    main()
