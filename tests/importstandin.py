#!/usr/bin/python3
# Stands in for tesseline-import in tst_importflow: --describe answers by the
# input's name; an import copies the frame.jpg beside the input into 3 frames
# with --json-progress lines and a record, and logs its arguments to
# standin.log there.  broken.tif cannot be described, fails.tif not imported,
# slow.tif takes 4 s.  SIGINT removes what was written and exits 130.
import datetime, json, os, shutil, signal, sys, time

args, opts, inputs = sys.argv[1:], {}, []
while args:
    a = args.pop(0)
    if a.startswith('-'):
        opts.setdefault(a, []).append(True if a in ('--describe', '--json-progress', '--force') else args.pop(0))
    else:
        inputs.append(os.path.abspath(a))
folder, base = os.path.split(inputs[0])
name = opts.get('--name', [base.split('.')[0]])[0]

def fail(why):
    sys.exit('tesseline-import: %s: %s' % (inputs[0], why))

if '--describe' in opts:
    if base == 'broken.tif':
        fail('not a TIFF file')
    image = int(opts.get('--image', ['0'])[0])
    grey = {'index': 0, 'name': '', 'colour': '#ffffff', 'colourFromFile': False, 'fileWindow': None,
            'typeWindow': [0, 255], 'window': {'low': 0, 'high': 255, 'source': '8-bit, kept'}, 'selected': True}
    images, channels = [{'name': 'Default'}], [grey]
    if base == 'two.tif':
        images = [{'name': 'Pos0'}, {'name': 'Pos1'}]
        channels = [dict(grey, name='Brightfield')] if image else [
            dict(grey, name='DAPI', colour='#0000ff', colourFromFile=True, fileWindow=[100, 2000],
                 typeWindow=[0, 65535], window={'low': 100, 'high': 2000, 'source': 'from the file'}),
            dict(grey, index=1, name='GFP', colour='#00ff00', typeWindow=[0, 65535], window=None)]
    for r in [r for r in opts.get('--range', []) if r.endswith('=auto')]:
        c = int(r.split('=')[0])
        channels[c]['window'] = {'low': 10 * (c + 1), 'high': 900 + c, 'source': 'auto, 0.35 % saturated'}
    json.dump({'inputs': inputs, 'format': 'stand-in', 'pattern': 's_t{t}.tif' if len(inputs) > 1 else '',
               'images': images, 'image': image, 'width': 8, 'height': 8, 'times': 3, 'planes': 1,
               'type': '8-bit unsigned integers', 'channels': channels, 'frames': 3, 'estimatedBytes': 3000,
               'name': name, 'warnings': []}, sys.stdout)
    sys.exit(0)

with open(os.path.join(folder, 'standin.log'), 'a') as log:
    log.write(json.dumps(sys.argv[1:]) + '\n')
out = opts['-o'][0]
work = os.path.join(os.path.dirname(out), '.%s.part' % name)
if os.path.exists(out) and '--force' not in opts:
    fail('%s exists already' % out)

def interrupted(*_):
    shutil.rmtree(work, ignore_errors=True)
    print('tesseline-import: interrupted; nothing was written', file=sys.stderr)
    os._exit(130)

signal.signal(signal.SIGINT, interrupted)
os.makedirs(os.path.join(work, 'img'))
total = 40 if base == 'slow.tif' else 3
for done in range(total + 1):
    print(json.dumps({'stage': 'writing', 'done': done, 'total': total, 'left': (total - done) / 10 if done else None}),
          flush=True)
    if base == 'fails.tif' and done == 2:
        shutil.rmtree(work)
        fail('cannot read plane 2')
    time.sleep(0.1 if base == 'slow.tif' else 0)
for t in range(3):
    shutil.copy(os.path.join(folder, 'frame.jpg'), os.path.join(work, 'img', '%s_t%03d_z000_ch000.jpg' % (name, t)))
with open(os.path.join(work, name + '.tz'), 'w') as f:
    f.write('dataset %s width 8 height 8 mint 0 maxt 2 minz 0 maxz 0\n' % name)
records = []
for i in inputs:
    s = os.stat(i)
    when = datetime.datetime.fromtimestamp(s.st_mtime_ns // 10**9, datetime.timezone.utc)
    records.append({'path': i, 'size': s.st_size,
                    'modified': '%s.%03dZ' % (when.strftime('%Y-%m-%dT%H:%M:%S'), s.st_mtime_ns // 10**6 % 1000)})
settings = [a for a in sys.argv[1:] if a not in ('-o', out, '--force', '--json-progress') + tuple(inputs)]
with open(os.path.join(work, name + '.import.json'), 'w') as f:
    json.dump({'inputs': records, 'settings': settings}, f)
shutil.rmtree(out, ignore_errors=True)
os.rename(work, out)
print(json.dumps({'stage': 'done', 'descriptor': os.path.join(out, name + '.tz'), 'frames': 3}), flush=True)
