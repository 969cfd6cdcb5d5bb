// The transcript: console rows, their filter, expandable objects and the input prompt.
// The host drives the page through the global SC and hears back through post().
// Every string that comes from the host is put into text nodes, never parsed as markup.
(() => {
    'use strict';

    // ---------------------------------------------------------------------------------------------
    // Host adapter: the only place that knows how a message leaves the page. In the program the host
    // is a Qt WebChannel object registered as "console" with a post(message) method. Messages sent
    // before the channel is up wait in order; without any channel (the page opened on its own) they
    // are dropped.

    const post = (() => {
        const waiting = [];
        let send = null;
        if (typeof QWebChannel === 'function' && window.qt && qt.webChannelTransport) {
            new QWebChannel(qt.webChannelTransport, (channel) => {
                const handler = channel.objects.console;
                if (!handler || typeof handler.post !== 'function')
                    return;
                send = (message) => handler.post(message);
                for (const message of waiting.splice(0))
                    send(message);
            });
            return (message) => (send ? send(message) : waiting.push(message));
        }
        return () => {};
    })();

    // ---------------------------------------------------------------------------------------------
    // Small helpers.

    const MAX_RECORDS = 2200;
    const ROW_MIN_HEIGHT = 21; // one line of text, the row's padding and its rule
    const CHUNK_ROWS = 50;
    const LEVELS = new Set(['debug', 'log', 'info', 'warning', 'error']);
    const KINDS = new Set(['message', 'input', 'result']);
    const TEXT_EMPTY = 'No console output yet';
    const TEXT_NO_MATCH = 'Nothing matches this filter';

    function element(tag, className, text) {
        const node = document.createElement(tag);
        if (className)
            node.className = className;
        if (text !== undefined)
            node.textContent = text;
        return node;
    }

    function text(value) {
        return value === undefined || value === null ? '' : String(value);
    }

    function list(value) {
        return Array.isArray(value) ? value : [];
    }

    function hasSelection() {
        const selection = window.getSelection();
        return !!selection && selection.toString() !== '';
    }

    const log = document.getElementById('log');
    const placeholder = document.getElementById('empty');
    const promptRow = document.getElementById('prompt');
    const input = document.getElementById('entry');
    const suggest = document.getElementById('suggest');

    // ---------------------------------------------------------------------------------------------
    // Rows.

    // One record per delivered entry, oldest first: the cleaned entry, its group and its row.
    let records = [];
    let matching = 0; // records that pass the current filter
    let filter = {problems: false, search: ''};
    let needle = '';
    let following = true;
    // Property requests waiting for an answer: "entry|object" -> holders to fill.
    const outstanding = new Map();
    // Row element -> its entry, for the delegated click handling.
    const entryOfRow = new WeakMap();

    function clean(raw) {
        const entry = raw && typeof raw === 'object' ? raw : {};
        const level = text(entry.level);
        const kind = text(entry.kind);
        const repeat = Number(entry.repeat);
        return {
            id: text(entry.id),
            time: text(entry.time),
            level: LEVELS.has(level) ? level : 'log',
            kind: KINDS.has(kind) ? kind : 'message',
            text: text(entry.text),
            location: text(entry.location),
            repeat: Number.isFinite(repeat) ? repeat : 1,
            page: text(entry.page),
            frames: list(entry.frames).filter((f) => f && typeof f === 'object'),
            objects: list(entry.objects).filter((o) => o && typeof o === 'object' && text(o.id) !== ''),
        };
    }

    function framesLabel(count) {
        return `${count} frames`;
    }

    function buildRecord(raw) {
        const entry = clean(raw);
        const group = element('div', 'group');
        const row = element('div', `row lvl-${entry.level} kind-${entry.kind}`);
        row.dataset.entry = entry.id;
        if (entry.objects.length) {
            row.classList.add('expandable');
            row.dataset.object = text(entry.objects[0].id);
        }
        row.append(element('span', 'time', entry.time), element('span', 'mark'), element('span', 'twisty'));

        const body = element('div', 'body');
        if (entry.location) {
            const location = element('span', 'loc', entry.location);
            location.title = entry.location;
            body.append(location);
        }
        if (entry.frames.length)
            body.append(element('span', 'frames-toggle', framesLabel(entry.frames.length)));
        if (entry.page)
            body.append(element('span', 'chip page', entry.page));
        if (entry.repeat > 1)
            body.append(element('span', 'chip repeat', `\u00D7${entry.repeat}`));
        body.append(element('span', 'text', entry.text));
        row.append(body);
        group.append(row);

        if (entry.frames.length) {
            const frames = element('div', 'frames');
            frames.hidden = true;
            frames.textContent = entry.frames.map((f) => `${text(f.f)}  ${text(f.u)}:${text(f.l)}`).join('\n');
            group.append(frames);
        }
        if (entry.objects.length) {
            const detail = element('div', 'detail');
            detail.hidden = true;
            group.append(detail);
        }
        entryOfRow.set(row, entry);
        return {entry, group, row, match: false, lowered: null};
    }

    function matches(record) {
        const entry = record.entry;
        if (filter.problems && entry.level !== 'error' && entry.level !== 'warning')
            return false;
        if (!needle)
            return true;
        if (!record.lowered)
            record.lowered = {text: entry.text.toLowerCase(), location: entry.location.toLowerCase()};
        return record.lowered.text.includes(needle) || record.lowered.location.includes(needle);
    }

    function applyFilter(record) {
        record.match = matches(record);
        record.group.classList.toggle('hidden', !record.match);
        if (record.match)
            matching++;
    }

    function updatePlaceholder() {
        placeholder.hidden = matching > 0;
        if (!placeholder.hidden)
            placeholder.textContent = records.length ? TEXT_NO_MATCH : TEXT_EMPTY;
    }

    // Lazy rows that come into view are laid out a frame or two later and may turn out taller than
    // their estimate (a filter can bring them to the end). While following, the end is put back in
    // view until it stays there, for at most about a second.
    let settleFrames = 0;
    let settleBudget = 0;

    function atEnd() {
        return log.scrollHeight - log.clientHeight - log.scrollTop <= 1;
    }

    function settle() {
        if (following && !atEnd()) {
            log.scrollTop = log.scrollHeight;
            settleFrames = 4;
        }
        if (--settleFrames > 0 && --settleBudget > 0)
            requestAnimationFrame(settle);
        else
            settleFrames = 0;
    }

    // Scrolling reads the log's height, which lays out every new row at once: it waits for the
    // next frame, so that the deliveries of one frame cost one layout, not one each.
    let scrollPending = false;

    function scrollToEnd() {
        if (!following || scrollPending)
            return;
        scrollPending = true;
        requestAnimationFrame(() => {
            scrollPending = false;
            if (!following)
                return;
            log.scrollTop = log.scrollHeight;
            if (settleFrames <= 0)
                requestAnimationFrame(settle);
            settleFrames = 4;
            settleBudget = 60;
        });
    }

    // How many of the newest rows can share the view at the end: no row is shorter than one line.
    function nearCount() {
        return Math.ceil(log.clientHeight / ROW_MIN_HEIGHT) + 8;
    }

    // Holders whose group left the document can never be filled; forget their requests.
    function dropDetachedRequests() {
        for (const [key, holders] of outstanding) {
            const live = holders.filter((holder) => holder.isConnected);
            if (live.length)
                outstanding.set(key, live);
            else
                outstanding.delete(key);
        }
    }

    function trim() {
        const excess = records.length - MAX_RECORDS;
        if (excess <= 0)
            return;
        for (const record of records.splice(0, excess)) {
            const chunk = record.group.parentNode;
            record.group.remove();
            if (chunk && chunk !== log && !chunk.firstChild)
                chunk.remove();
            if (record.match)
                matching--;
        }
        if (outstanding.size)
            dropDetachedRequests();
    }

    function filtering() {
        return filter.problems || needle !== '';
    }

    // A lazy chunk that was never shown counts as full however many of its rows a filter hides, so
    // a filter ends laziness: the rows it lets through are laid out for real.
    function endLaziness() {
        for (const chunk of log.querySelectorAll('.chunk.lazy'))
            chunk.classList.remove('lazy');
    }

    // Groups live in chunks of CHUNK_ROWS under the log. An append touches only the last chunk and a
    // trim only the first, so the engine lays out again only those and reuses the others whole.
    // Of a large unfiltered delivery, the chunks that end before its last screenful are lazy: they are
    // not laid out until they are scrolled to. (That has to be decided as a chunk is made: a chunk that turns
    // lazy later has been laid out already.)
    function append(entries) {
        const all = list(entries);
        // Entries that the cap would drop at once are not built at all.
        const first = Math.max(0, all.length - MAX_RECORDS);
        const last = log.lastElementChild;
        const open =
            last && last.classList.contains('chunk') && last.childElementCount < CHUNK_ROWS ? last : null;
        let room = open ? CHUNK_ROWS - open.childElementCount : 0;
        const near = !filtering() && all.length - first > CHUNK_ROWS ? nearCount() : Infinity;
        const tail = document.createDocumentFragment();
        const fresh = document.createDocumentFragment();
        let chunk = null;
        for (let i = first; i < all.length; i++) {
            const record = buildRecord(all[i]);
            applyFilter(record);
            records.push(record);
            if (room > 0) {
                tail.append(record.group);
                room--;
                continue;
            }
            if (!chunk || chunk.childElementCount >= CHUNK_ROWS) {
                chunk = element('div', 'chunk');
                if (all.length - Math.min(i + CHUNK_ROWS, all.length) >= near)
                    chunk.classList.add('lazy');
                fresh.append(chunk);
            }
            chunk.append(record.group);
        }
        if (open)
            open.append(tail);
        log.append(fresh);
        trim();
        updatePlaceholder();
        scrollToEnd();
    }

    // A delivered entry now repeats `count` times: its chip shows the count, and goes at one.
    function repeat(id, count) {
        const key = text(id);
        const record = records.findLast((r) => r.entry.id === key);
        if (!record)
            return;
        const times = Number(count);
        record.entry.repeat = Number.isFinite(times) ? times : 1;
        let chip = record.row.querySelector('.chip.repeat');
        if (record.entry.repeat <= 1) {
            chip?.remove();
            return;
        }
        if (!chip) {
            chip = element('span', 'chip repeat');
            record.row.querySelector('.body > .text').before(chip);
        }
        chip.textContent = `\u00D7${record.entry.repeat}`;
    }

    function reset(entries) {
        log.replaceChildren(placeholder);
        records = [];
        matching = 0;
        outstanding.clear();
        append(entries);
    }

    function setFilter(next) {
        const value = next && typeof next === 'object' ? next : {};
        filter = {problems: value.problems === true, search: text(value.search)};
        needle = filter.search.toLowerCase();
        if (filtering())
            endLaziness();
        matching = 0;
        for (const record of records)
            applyFilter(record);
        updatePlaceholder();
        scrollToEnd();
    }

    // A window that grows while following keeps showing the end.
    window.addEventListener('resize', () => scrollToEnd());

    // ---------------------------------------------------------------------------------------------
    // Objects and their properties, built when first opened.

    function requestProperties(entryID, objectID, holder) {
        if (holder.dataset.loaded)
            return;
        holder.dataset.loaded = '1';
        const key = `${entryID}|${objectID}`;
        const holders = outstanding.get(key);
        if (holders)
            holders.push(holder);
        else
            outstanding.set(key, [holder]);
        post({type: 'expand', entry: entryID, object: objectID});
    }

    function fillDetail(detail, entry) {
        if (entry.objects.length === 1) {
            const children = element('div', 'children');
            detail.append(children);
            requestProperties(entry.id, text(entry.objects[0].id), children);
            return;
        }
        for (const object of entry.objects) {
            const head = element('div', 'head expandable');
            head.dataset.entry = entry.id;
            head.dataset.object = text(object.id);
            head.append(element('span', 'twisty'), element('span', 'label', text(object.label)));
            const children = element('div', 'children');
            children.hidden = true;
            detail.append(head, children);
        }
    }

    function propertyLine(entryID, property) {
        const item = property && typeof property === 'object' ? property : {};
        const name = text(item.name);
        const object = item.object === undefined || item.object === null ? '' : text(item.object);
        const line = element('div', 'node');
        line.dataset.entry = entryID;
        line.append(element('span', 'twisty'));
        if (name)
            line.append(element('span', 'name', `${name}:`));
        line.append(element('span', 'value', text(item.value)));
        if (!object)
            return [line];
        line.classList.add('expandable');
        line.dataset.object = object;
        const children = element('div', 'children');
        children.hidden = true;
        return [line, children];
    }

    function properties(entryID, objectID, items) {
        const key = `${text(entryID)}|${text(objectID)}`;
        const holders = outstanding.get(key);
        if (!holders)
            return;
        outstanding.delete(key);
        const all = list(items);
        for (const holder of holders) {
            const fragment = document.createDocumentFragment();
            if (!all.length)
                fragment.append(element('div', 'node none', '(no properties)'));
            for (const item of all)
                fragment.append(...propertyLine(text(entryID), item));
            holder.replaceChildren(fragment);
        }
    }

    // Opens or closes the block that follows a head or property line.
    function toggleChildren(line) {
        const children = line.nextElementSibling;
        if (!children || !children.classList.contains('children'))
            return;
        children.hidden = !children.hidden;
        line.classList.toggle('open', !children.hidden);
        if (!children.hidden)
            requestProperties(line.dataset.entry, line.dataset.object, children);
    }

    function toggleDetail(row) {
        const entry = entryOfRow.get(row);
        const detail = row.parentElement && row.parentElement.querySelector(':scope > .detail');
        if (!entry || !detail)
            return;
        detail.hidden = !detail.hidden;
        row.classList.toggle('open', !detail.hidden);
        if (!detail.hidden && !detail.dataset.filled) {
            detail.dataset.filled = '1';
            fillDetail(detail, entry);
        }
    }

    function toggleFrames(toggle) {
        const group = toggle.closest('.group');
        const frames = group && group.querySelector(':scope > .frames');
        if (!frames)
            return;
        frames.hidden = !frames.hidden;
        const entry = entryOfRow.get(group.firstElementChild);
        toggle.textContent = frames.hidden ? framesLabel(entry ? entry.frames.length : 0) : 'hide stack';
    }

    log.addEventListener('click', (event) => {
        const target = event.target instanceof Element ? event.target : null;
        if (!target)
            return;
        const toggle = target.closest('.frames-toggle');
        if (toggle) {
            toggleFrames(toggle);
            return;
        }
        // A click that ends a text selection is not a toggle.
        if (hasSelection())
            return;
        const line = target.closest('.node.expandable, .head');
        if (line) {
            toggleChildren(line);
            return;
        }
        const row = target.closest('.row.expandable');
        if (row)
            toggleDetail(row);
    });

    // ---------------------------------------------------------------------------------------------
    // Context menu: the host builds a native one from this report.

    function ownText(target) {
        if (!target)
            return '';
        const line = target.closest('.row, .node, .head');
        if (line)
            return line.innerText;
        // Containers are not lines; their whole text is never reported as one.
        if (!log.contains(target) || target === log || target.matches('.chunk, .group, .detail, .children'))
            return '';
        return target.innerText || '';
    }

    document.addEventListener('contextmenu', (event) => {
        event.preventDefault();
        const target = event.target instanceof Element ? event.target : null;
        const withEntry = target && target.closest('[data-entry]');
        const withObject = target && target.closest('[data-object]');
        const selection = window.getSelection();
        post({
            type: 'context',
            x: event.clientX,
            y: event.clientY,
            entry: withEntry ? withEntry.dataset.entry : null,
            object: withObject ? withObject.dataset.object : null,
            selection: selection ? selection.toString() : '',
            text: ownText(target),
        });
    });

    // ---------------------------------------------------------------------------------------------
    // The prompt: history and completion of property chains.

    const history = [];
    let cursor = null; // index into history while recalling, else null
    let options = [];
    let chosen = 0;
    let token = 0;
    let timer = null;
    let appending = true; // false right after a deletion: no inline text then
    let ghost = null; // {start, end} of the text the page itself inserted
    let shownPrefix = '';

    // A chain of identifiers joined by dots, optionally ending in a dot, at the end of the text. It must
    // not continue something else ("foo().ba", "a[0].le"), which would only ever be guessed wrong.
    const CHAIN = /(?<![\p{L}\p{N}_$.])(?:[\p{L}_$][\p{L}\p{N}_$]*\.)*[\p{L}_$][\p{L}\p{N}_$]*\.?$/u;

    function completionContext() {
        const before = input.value.slice(0, input.selectionStart ?? input.value.length);
        const found = CHAIN.exec(before);
        if (!found)
            return null;
        const chain = found[0];
        const dot = chain.lastIndexOf('.');
        if (dot < 0)
            return chain.length >= 2 ? {base: null, prefix: chain} : null;
        return {base: chain.slice(0, dot), prefix: chain.slice(dot + 1)};
    }

    function rank(names, prefix) {
        const seen = new Set();
        const kept = [];
        for (const name of list(names)) {
            if (typeof name !== 'string' || seen.has(name) || !name.startsWith(prefix))
                continue;
            seen.add(name);
            kept.push(name);
        }
        kept.sort((a, b) => {
            const hiddenA = a.startsWith('_');
            const hiddenB = b.startsWith('_');
            if (hiddenA !== hiddenB)
                return hiddenA ? 1 : -1;
            return a.localeCompare(b);
        });
        return kept.slice(0, 10);
    }

    function removeGhost() {
        if (!ghost)
            return;
        const {start, end} = ghost;
        ghost = null;
        if (end <= input.value.length)
            input.setRangeText('', start, end, 'start');
    }

    // Puts the rest of an option after the prefix at the caret, selected, as the ghost.
    function insertRest(option, prefix) {
        if (!option.startsWith(prefix) || option.length <= prefix.length)
            return;
        const at = input.selectionStart ?? input.value.length;
        const rest = option.slice(prefix.length);
        input.setRangeText(rest, at, at, 'select');
        ghost = {start: at, end: at + rest.length};
    }

    function closeList() {
        removeGhost();
        options = [];
        suggest.hidden = true;
        suggest.replaceChildren();
    }

    // Closes the list and makes any answer still on its way stale.
    function dismiss() {
        clearTimeout(timer);
        timer = null;
        token++;
        closeList();
    }

    let measure = null;
    function textWidth(value) {
        measure = measure || document.createElement('canvas').getContext('2d');
        measure.font = getComputedStyle(input).font;
        return measure.measureText(value).width;
    }

    function placeList() {
        const box = input.getBoundingClientRect();
        const caret = input.selectionStart ?? input.value.length;
        const before = input.value.slice(0, Math.max(0, caret - shownPrefix.length));
        const width = suggest.offsetWidth;
        let left = box.left + textWidth(before) - input.scrollLeft;
        left = Math.min(left, window.innerWidth - width - 8);
        left = Math.max(left, 8);
        suggest.style.left = `${Math.round(left)}px`;
        suggest.style.bottom = `${Math.round(window.innerHeight - promptRow.getBoundingClientRect().top + 4)}px`;
    }

    function showList() {
        removeGhost();
        if (!options.length) {
            closeList();
            return;
        }
        const fragment = document.createDocumentFragment();
        options.forEach((name, index) => {
            const option = element('div', index === chosen ? 'option on' : 'option', name);
            option.dataset.index = String(index);
            fragment.append(option);
        });
        suggest.replaceChildren(fragment);
        suggest.hidden = false;
        placeList();
        const on = suggest.children[chosen];
        if (on)
            on.scrollIntoView({block: 'nearest'});
        if (appending)
            insertRest(options[chosen], shownPrefix);
    }

    function accept() {
        if (!options.length && !ghost)
            return;
        if (!ghost && options.length) {
            // The list shows a choice but nothing is inline (the last edit was a deletion): take it.
            const context = completionContext();
            if (context)
                insertRest(options[chosen], context.prefix);
        }
        if (ghost) {
            ghost = null;
            const end = input.selectionEnd ?? input.value.length;
            input.setSelectionRange(end, end);
        }
        dismiss();
    }

    function recall(step) {
        if (!history.length)
            return;
        const from = cursor === null ? history.length : cursor;
        const position = Math.min(Math.max(from + step, 0), history.length);
        cursor = position;
        input.value = position === history.length ? '' : history[position];
        input.setSelectionRange(input.value.length, input.value.length);
    }

    function submit() {
        const value = input.value.trim();
        ghost = null;
        dismiss();
        if (!value)
            return;
        for (let i = history.indexOf(value); i >= 0; i = history.indexOf(value))
            history.splice(i, 1);
        history.push(value);
        cursor = null;
        input.value = '';
        following = true;
        post({type: 'eval', text: value});
    }

    input.addEventListener('input', (event) => {
        ghost = null;
        appending = !text(event.inputType).includes('delete');
        cursor = null;
        clearTimeout(timer);
        timer = null;
        const context = completionContext();
        if (!context) {
            closeList();
            return;
        }
        timer = setTimeout(() => {
            timer = null;
            token++;
            post({type: 'complete', token, base: context.base, prefix: context.prefix});
        }, 90);
    });

    input.addEventListener('keydown', (event) => {
        if (event.isComposing)
            return;
        const open = !suggest.hidden && options.length > 0;
        switch (event.key) {
        case 'Enter':
            event.preventDefault();
            submit();
            break;
        case 'Tab':
            event.preventDefault();
            accept();
            break;
        case 'Escape':
            if (open) {
                event.preventDefault();
                dismiss();
            }
            break;
        case 'ArrowDown':
        case 'ArrowUp': {
            event.preventDefault();
            const step = event.key === 'ArrowDown' ? 1 : -1;
            if (open) {
                chosen = Math.min(Math.max(chosen + step, 0), options.length - 1);
                appending = true;
                showList();
            } else {
                recall(step);
            }
            break;
        }
        default:
            break;
        }
    });

    input.addEventListener('blur', () => dismiss());

    suggest.addEventListener('mousedown', (event) => {
        // The press must not take focus from the input.
        event.preventDefault();
        const option = event.target instanceof Element ? event.target.closest('.option') : null;
        if (!option)
            return;
        chosen = Number(option.dataset.index);
        removeGhost();
        insertRest(options[chosen], shownPrefix);
        accept();
    });

    promptRow.addEventListener('mousedown', () => {
        if (!input.disabled)
            setTimeout(() => input.focus(), 0);
    });

    function setPrompt(state) {
        const value = state && typeof state === 'object' ? state : {};
        const enabled = value.enabled === true;
        input.disabled = !enabled;
        input.placeholder = text(value.label);
        promptRow.classList.toggle('off', !enabled);
        if (!enabled)
            dismiss();
    }

    function completions(id, names) {
        if (id !== token || input.disabled)
            return;
        const context = completionContext();
        if (!context) {
            closeList();
            return;
        }
        removeGhost();
        shownPrefix = context.prefix;
        options = rank(names, context.prefix);
        chosen = 0;
        showList();
    }

    // ---------------------------------------------------------------------------------------------
    // The calls the host makes.

    window.SC = Object.freeze({
        reset,
        append,
        repeat,
        filter: setFilter,
        follow(value) {
            following = value === true;
            scrollToEnd();
        },
        prompt: setPrompt,
        completions,
        properties,
    });
})();
