// Starts an OSGi framework, runs the client bundle against the ruvek bundle, then again after an update and a refresh.
package ruvek.osgirun;

import java.io.FileInputStream;
import java.io.InputStream;
import java.util.Collections;
import java.util.HashMap;
import java.util.Iterator;
import java.util.List;
import java.util.Map;
import java.util.ServiceLoader;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import org.osgi.framework.Bundle;
import org.osgi.framework.FrameworkEvent;
import org.osgi.framework.launch.Framework;
import org.osgi.framework.launch.FrameworkFactory;
import org.osgi.framework.wiring.FrameworkWiring;

/**
 * Usage: BundleRun STORAGE RUVEK_JAR CLIENT_JAR [KEY=VALUE...], the pairs
 * going into the framework's configuration; ruvek.test.location, when
 * given, is the location the ruvek bundle is installed under. Prints what
 * happened, one line per step, and the natives loaded; exits 0 when the
 * client echoed on both starts and nothing failed, 1 otherwise.
 */
public final class BundleRun {
    private BundleRun() {}

    public static void main(String[] args) throws Exception {
        Iterator<FrameworkFactory> factories = ServiceLoader.load(FrameworkFactory.class).iterator();
        if (!factories.hasNext()) {
            System.out.println("no OSGi framework on the class path");
            System.exit(1);
        }
        Map<String, String> config = new HashMap<>();
        config.put("org.osgi.framework.storage", args[0]);
        config.put("org.osgi.framework.storage.clean", "onFirstInit");
        for (int i = 3; i < args.length; i++) {
            int eq = args[i].indexOf('=');
            config.put(args[i].substring(0, eq), args[i].substring(eq + 1));
        }
        Framework framework = factories.next().newFramework(config);
        framework.start();
        List<String> errors = new CopyOnWriteArrayList<>();
        framework.getBundleContext().addFrameworkListener(e -> {
            if (e.getType() == FrameworkEvent.ERROR)
                errors.add(e.getBundle().getSymbolicName() + ": " + e.getThrowable());
        });
        boolean ok = false;
        try {
            // Installed from the jar's bytes, under the location given, which may name another file.
            Bundle ruvek;
            try (InputStream in = new FileInputStream(args[1])) {
                ruvek = framework.getBundleContext().installBundle(config.getOrDefault("ruvek.test.location", "file:" + args[1]), in);
            }
            ruvek.start();
            System.out.println("started " + ruvek.getSymbolicName() + " " + ruvek.getVersion());
            Bundle client = framework.getBundleContext().installBundle("file:" + args[2]);
            client.start();
            System.out.println("client started: " + System.getProperty("ruvek.test.starts"));

            try (InputStream in = new FileInputStream(args[1])) {
                ruvek.update(in);
            }
            CountDownLatch refreshed = new CountDownLatch(1);
            framework.adapt(FrameworkWiring.class).refreshBundles(Collections.singleton(ruvek), e -> {
                if (e.getType() == FrameworkEvent.PACKAGES_REFRESHED)
                    refreshed.countDown();
            });
            if (!refreshed.await(60, TimeUnit.SECONDS))
                errors.add("the refresh did not finish");
            System.out.println("after update and refresh: " + System.getProperty("ruvek.test.starts")
                    + "; client " + (client.getState() == Bundle.ACTIVE ? "active" : "state " + client.getState()));
            System.out.println("loaded: " + System.getProperty("ruvek.native.loaded.ruvekline"));
            ok = errors.isEmpty() && client.getState() == Bundle.ACTIVE
                    && "echoed echoed".equals(System.getProperty("ruvek.test.starts"));
            for (String error : errors)
                System.out.println("error: " + error);
            System.out.println(ok ? "both starts echoed" : "FAILED");
        } finally {
            framework.stop();
            framework.waitForStop(10_000);
        }
        System.exit(ok ? 0 : 1);
    }
}
